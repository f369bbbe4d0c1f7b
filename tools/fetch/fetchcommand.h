// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>

// The command-line twin of one press of Retrieve: `tarnwick-fetch [--verbose] [-o FILE] URL`
// fetches URL through the window's own retrieval code and writes what the page box would
// show, byte for byte as UTF-8, to standard output or FILE.
class FetchCommand
{
public:
    enum ExitCode {
        PageShown = 0,   // the page box ended with a page body
        InfoPrinted = 0, // --help or --version printed what was asked for; nothing was fetched
        Failed = 1,      // it ended with a failure message, or the output could not be written
        UsageError = 2,  // the command line was not understood
    };

    // Runs the whole command for `arguments`, the bytes of the command line (the program name
    // first), and returns the exit code. Needs a QCoreApplication for the application name
    // and version.
    int run(const QList<QByteArray> &arguments);
};

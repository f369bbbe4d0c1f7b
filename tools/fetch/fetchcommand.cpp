// SPDX-License-Identifier: GPL-3.0-or-later
#include "fetchcommand.h"

#include "memorywindow.h"
#include "pagesave.h"
#include "retrieval.h"
#include "tcpsocket.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

namespace {

void printTo(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QString usageLine()
{
    return QStringLiteral("Usage: %1 [--verbose] [-o FILE] URL\n")
        .arg(QCoreApplication::applicationName());
}

int usageError(const QString &message)
{
    printTo(stderr, QStringLiteral("%1: %2\n%3")
                        .arg(QCoreApplication::applicationName(), message, usageLine()));
    return FetchCommand::UsageError;
}

// What the page box would show, as UTF-8: a page's body as the bytes that came when they
// are UTF-8 already, so that the page is never held a second time.
Utf8Source pageOf(const MemoryWindow &window, const QString &message)
{
    if (const PageBody *body = window.pageBody())
        return [body](const Utf8Sink &sink) { return body->writeUtf8(sink); };
    return utf8Of(message);
}

int outputError(const QString &target, const QString &reason)
{
    printTo(stderr, QStringLiteral("%1: cannot write %2: %3\n")
                        .arg(QCoreApplication::applicationName(), target, reason));
    return FetchCommand::Failed;
}

} // namespace

int FetchCommand::run(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Fetches one page over HTTP/1.0 and writes its body text, or the "
                       "failure message, as UTF-8."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"),
        QStringLiteral("After the retrieval, show the final URL and port on standard error."));
    const QCommandLineOption outputOption(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("Write the text to FILE instead of standard output."),
        QStringLiteral("FILE"));
    parser.addOption(verboseOption);
    parser.addOption(outputOption);
    parser.addPositionalArgument(QStringLiteral("URL"), QStringLiteral("The page to fetch."));

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    // The help option comes with --help-all, which the help text offers too.
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        printTo(stdout, parser.helpText());
        return InfoPrinted;
    }
    if (parser.isSet(versionOption)) {
        printTo(stdout, QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                      QCoreApplication::applicationVersion()));
        return InfoPrinted;
    }
    const QStringList urls = parser.positionalArguments();
    if (urls.size() != 1)
        return usageError(urls.isEmpty() ? QStringLiteral("no URL given")
                                         : QStringLiteral("only one URL at a time"));
    const QString outputFile = parser.value(outputOption);
    if (parser.isSet(outputOption) && outputFile.isEmpty())
        return usageError(QStringLiteral("the output file name is empty"));

    MemoryWindow window(urls.constFirst());
    TcpSocket socket;
    const RetrievalOutcome outcome = retrievePage(window, socket);

    if (parser.isSet(verboseOption))
        printTo(stderr,
                QStringLiteral("URL: %1\nPort: %2\n").arg(window.urlText(), window.portCaption()));

    const int result = outcome == RetrievalOutcome::PageShown ? PageShown : Failed;
    const QString message = window.pageBody() ? QString() : window.pageText();
    const Utf8Source page = pageOf(window, message);
    if (!outputFile.isEmpty()) {
        const SaveOutcome saved = writePageFile(outputFile, page);
        return saved.result == SaveOutcome::Result::Saved ? result
                                                          : outputError(outputFile, saved.reason);
    }
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly) || !writeUtf8(out, page) || !out.flush())
        return outputError(QStringLiteral("standard output"), out.errorString());
    return result;
}

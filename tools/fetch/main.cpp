// SPDX-License-Identifier: GPL-3.0-or-later
#include "fetchcommand.h"
#include "productinfo.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char *argv[])
{
    const QList<QByteArray> arguments(argv, argv + argc); // as given: file names are bytes
    // Past a file-size limit a write fails with "File too large", on standard error as well.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-fetch"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1 %2").arg(
        QString::fromLatin1(ProductInfo::Name), QString::fromLatin1(ProductInfo::Version)));
    return FetchCommand().run(arguments);
}

#include "fetchcommand.h"

#include "memorywindow.h"
#include "retrieval.h"
#include "tcpsocket.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QStringEncoder>

#include <cstdio>

namespace {

constexpr qsizetype SliceLength = 1 << 20; // UTF-16 units converted and written at a time

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

int outputError(const QString &target, const QString &reason)
{
    printTo(stderr, QStringLiteral("%1: cannot write %2: %3\n")
                        .arg(QCoreApplication::applicationName(), target, reason));
    return FetchCommand::Failed;
}

} // namespace

bool writeUtf8(QIODevice &device, const QString &text)
{
    // The encoder keeps a surrogate pair together when a slice boundary splits it.
    QStringEncoder encoder(QStringConverter::Utf8);
    for (qsizetype at = 0; at < text.size(); at += SliceLength) {
        const QByteArray bytes =
            encoder.encode(QStringView(text).sliced(at).first(qMin(SliceLength, text.size() - at)));
        if (device.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

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
    if (parser.isSet(helpOption)) {
        printTo(stdout, parser.helpText());
        return PageShown;
    }
    if (parser.isSet(versionOption)) {
        printTo(stdout, QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                      QCoreApplication::applicationVersion()));
        return PageShown;
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
    if (!outputFile.isEmpty()) {
        QSaveFile file(outputFile);
        if (!file.open(QIODevice::WriteOnly))
            return outputError(outputFile, file.errorString());
        if (!writeUtf8(file, window.pageText()) || !file.commit())
            return outputError(outputFile, file.errorString());
        return result;
    }
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly) || !writeUtf8(out, window.pageText()) ||
        !out.flush())
        return outputError(QStringLiteral("standard output"), out.errorString());
    return result;
}

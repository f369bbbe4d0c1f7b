// SPDX-License-Identifier: GPL-3.0-or-later
#include "fetchcommand.h"

#include "memorywindow.h"
#include "outputfile.h"
#include "retrieval.h"
#include "tcpsocket.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

#include <unistd.h>

namespace {

void printTo(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void printTo(FILE *stream, const QString &text)
{
    printTo(stream, text.toLocal8Bit());
}

// The command line is parsed as text, but a file name must come back as the very bytes given,
// which need not be UTF-8: each byte becomes the Latin-1 character of the same value, and
// back. Text (the URL, an unknown option in a message) is decoded as Qt decodes arguments.
QStringList bytesAsLatin1(const QList<QByteArray> &arguments)
{
    QStringList latin1;
    for (const QByteArray &argument : arguments)
        latin1 << QString::fromLatin1(argument);
    return latin1;
}

QString decodedText(const QString &latin1)
{
    return QString::fromLocal8Bit(latin1.toLatin1());
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
bool writePage(OutputFile &output, const MemoryWindow &window)
{
    if (const PageBody *body = window.pageBody())
        return body->writeUtf8([&output](QByteArrayView slice) { return output.write(slice); });
    return output.writeUtf8(window.pageText());
}

qint64 pageSize(const MemoryWindow &window)
{
    if (const PageBody *body = window.pageBody())
        return body->utf8Size();
    return OutputFile::utf8Size(window.pageText());
}

// Names the file by the bytes it was given as, as other command-line tools do.
int outputError(const QByteArray &target, const QString &reason)
{
    printTo(stderr, QCoreApplication::applicationName().toLocal8Bit() + ": cannot write " + target +
                        ": " + reason.toLocal8Bit() + '\n');
    return FetchCommand::Failed;
}

} // namespace

int FetchCommand::run(const QList<QByteArray> &arguments)
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

    if (!parser.parse(bytesAsLatin1(arguments)))
        return usageError(decodedText(parser.errorText()));
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
    const QByteArray outputFile = parser.value(outputOption).toLatin1();
    if (parser.isSet(outputOption) && outputFile.isEmpty())
        return usageError(QStringLiteral("the output file name is empty"));

    MemoryWindow window(decodedText(urls.constFirst()));
    TcpSocket socket;
    const RetrievalOutcome outcome = retrievePage(window, socket);

    if (parser.isSet(verboseOption))
        printTo(stderr,
                QStringLiteral("URL: %1\nPort: %2\n").arg(window.urlText(), window.portCaption()));

    const int result = outcome == RetrievalOutcome::PageShown ? PageShown : Failed;
    OutputFile output;
    if (outputFile.isEmpty())
        output.attach(STDOUT_FILENO);
    else if (!output.open(outputFile, pageSize(window)))
        return outputError(outputFile, output.errorString());
    if (!writePage(output, window) || !output.commit())
        return outputError(outputFile.isEmpty() ? "standard output" : outputFile,
                           output.errorString());
    return result;
}

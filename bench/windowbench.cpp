// SPDX-License-Identifier: GPL-3.0-or-later
// Times a click on Retrieve in the window, from the click until the page stands painted
// in the page box, against the page box alone taking the same text. bench/run.sh runs it
// on the offscreen platform next to the command-line twin.
//
// Usage: tarnwick-windowbench RUNS URL EXPECTED-BYTES
//            Prints "click MS" and "pagebox MS", each the median of RUNS runs in milliseconds.
//        tarnwick-windowbench cold RUNS URL EXPECTED-BYTES
//            Waits 5 s with nothing to do, as a user's machine is before the first click, and
//            prints "first MS", that first click; then "backtoback MS", the median of RUNS
//            clicks straight after it.

#include "mainwindow.h"
#include "pagebox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>

#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// The same size as in the window, so that both lay out and paint the same lines.
constexpr QSize PageBoxSize(361, 233);
// How long the machine has nothing to do before a cold first click.
constexpr int IdleSeconds = 5;

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const std::size_t middle = samples.size() / 2;
    return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

// Runs `prepare` untimed and then `measured` timed, until the events that `measured`
// posted (layout, painting) are handled; returns the median in milliseconds.
double timeRuns(int runs, const std::function<void()> &prepare,
                const std::function<void()> &measured)
{
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        prepare();
        QCoreApplication::processEvents();
        QElapsedTimer timer;
        timer.start();
        measured();
        QCoreApplication::processEvents();
        samples.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return median(samples);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    const bool cold = arguments.size() == 5 && arguments[1] == QLatin1String("cold");
    if (cold)
        arguments.removeAt(1);
    const int runs = arguments.size() == 4 ? arguments[1].toInt() : 0;
    if (runs < 1) {
        std::fprintf(stderr, "Usage: tarnwick-windowbench [cold] RUNS URL EXPECTED-BYTES\n");
        return 2;
    }
    const QString url = arguments[2];
    const qsizetype expectedBytes = arguments[3].toLongLong();

    Main window;
    window.show();
    auto *urlBox = window.findChild<QLineEdit *>(QStringLiteral("URLBox"));
    auto *retrieve = window.findChild<QPushButton *>(QStringLiteral("Retrieve"));
    if (!urlBox || !retrieve)
        return 1;

    if (cold) {
        QCoreApplication::processEvents();
        std::fprintf(stderr, "waiting %d s with nothing to do before the first click\n",
                     IdleSeconds);
        QThread::sleep(IdleSeconds);
        urlBox->setText(url);
        const double first = timeRuns(
            1, [] {}, [&] { retrieve->click(); });
        const double backToBack = timeRuns(
            runs,
            [&] {
                window.setPageText(QString());
                urlBox->setText(url);
            },
            [&] { retrieve->click(); });
        std::printf("first %.1f\nbacktoback %.1f\n", first, backToBack);
        return window.pageText().toUtf8().size() == expectedBytes ? 0 : 1;
    }

    // Each click starts, like the bare page box, from an empty page box.
    const double click = timeRuns(
        runs,
        [&] {
            window.setPageText(QString());
            urlBox->setText(url);
        },
        [&] { retrieve->click(); });
    const QString text = window.pageText();
    if (text.toUtf8().size() != expectedBytes) {
        std::fprintf(stderr, "the page box holds %lld bytes of UTF-8, not %lld: %s\n",
                     static_cast<long long>(text.toUtf8().size()),
                     static_cast<long long>(expectedBytes), qPrintable(text.left(80)));
        return 1;
    }
    window.close();

    PageBox box;
    box.resize(PageBoxSize);
    box.show();
    const double bare = timeRuns(
        runs, [&] { box.setPageText(QString()); }, [&] { box.setPageText(text); });

    std::printf("click %.1f\npagebox %.1f\n", click, bare);
    return 0;
}

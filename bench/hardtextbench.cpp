// SPDX-License-Identifier: GPL-3.0-or-later
// Hard text through the real window: a click on Retrieve for a page whose text is hard to
// lay out (huge grapheme clusters, runs without width or without a break, every direction,
// heavily shaped scripts), then the event loop until the page box's idle work is done, then
// the keys and a click in the middle of the page. bench/hardtext.sh serves the pages and
// runs it; it also runs the `plain` mode, the same text in a QPlainTextEdit.
//
// Usage: tarnwick-hardtextbench window RUNS URL EXPECTED-CHARACTERS
//            Prints "click MS", "paint MS" (the first paint after the click returns),
//            "stall MS" (the largest gap between ticks of a 1 ms timer from then until the
//            idle work is done and 200 ms after) and "letter", "right", "backspace",
//            "delete", "click-middle" (each the median of RUNS, key press and release and the
//            repaint after them, in the middle of the page).
//        tarnwick-hardtextbench plain FILE
//            Prints "shown MS" (the text set and painted), then the same five steps, once.
// With HARDTEXT_CLOCK=cpu, every time is the time the main thread spent on the processor
// (and a stall the processor time between two ticks): on a machine that other work keeps
// busy, that is what the program itself costs.

#include "mainwindow.h"
#include "pagebox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

constexpr QSize PageBoxSize(361, 233);
// After the idle work is done, the event loop is watched this much longer.
constexpr int SettleMs = 200;
// The idle work is given up on after this long.
constexpr int SettleLimitMs = 120000;
// Where one sample takes longer than this, one is enough.
constexpr double SlowMs = 1000;

// Milliseconds on the wall clock, or of the main thread's processor time.
double now()
{
    static const bool cpu = qgetenv("HARDTEXT_CLOCK") == "cpu";
    timespec time{};
    clock_gettime(cpu ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC, &time);
    return double(time.tv_sec) * 1e3 + double(time.tv_nsec) / 1e6;
}

struct Clock
{
    double startedAt = now();
    void restart() { startedAt = now(); }
    double ms() const { return now() - startedAt; }
};

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

void print(const char *name, double ms)
{
    std::printf("%s %.2f\n", name, ms);
    std::fflush(stdout);
}

// The largest gap between ticks of a 1 ms timer until `done` holds, and SettleMs after.
double largestStall(const std::function<bool()> &done)
{
    QEventLoop loop;
    const Clock clock;
    QElapsedTimer wall; // the settling is timed on the wall clock, whatever the stalls are
    wall.start();
    double lastTick = 0;
    double largest = 0;
    double doneAt = -1;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double at = clock.ms();
        largest = std::max(largest, at - lastTick);
        lastTick = at;
        const qint64 elapsed = wall.elapsed();
        if (doneAt < 0 && done())
            doneAt = double(elapsed);
        if ((doneAt >= 0 && double(elapsed) - doneAt > SettleMs) || elapsed > SettleLimitMs)
            loop.quit();
    });
    ticker.start();
    loop.exec();
    return largest;
}

// One step (a key's press and release, or a click's), then the repaint it asks for.
double timeStep(QWidget *viewport, const std::function<void()> &step)
{
    const Clock clock;
    step();
    viewport->repaint();
    return clock.ms();
}

void sendKey(QWidget *target, int key, const QString &typed = QString())
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, typed);
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, typed);
    QCoreApplication::sendEvent(target, &release);
}

void sendClick(QWidget *viewport, QPoint point)
{
    for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, point, viewport->mapToGlobal(point), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &event);
    }
}

// The five steps in the middle of the text, each the median of `runs` (one where slow).
void timeSteps(QWidget *editor, QWidget *viewport, const std::function<void()> &toMiddle, int runs)
{
    const struct
    {
        const char *name;
        std::function<void()> step;
    } steps[] = {
        {"letter", [&] { sendKey(editor, Qt::Key_X, QStringLiteral("x")); }},
        {"right", [&] { sendKey(editor, Qt::Key_Right); }},
        {"backspace", [&] { sendKey(editor, Qt::Key_Backspace); }},
        {"delete", [&] { sendKey(editor, Qt::Key_Delete); }},
        {"click-middle", [&] { sendClick(viewport, viewport->rect().center()); }},
    };
    for (const auto &[name, step] : steps) {
        toMiddle();
        viewport->repaint();
        std::vector<double> samples;
        for (int run = 0; run < runs; ++run) {
            samples.push_back(timeStep(viewport, step));
            if (samples.back() > SlowMs)
                break;
        }
        print(name, median(samples));
    }
}

int runWindow(int runs, const QString &url, qsizetype expected)
{
    Main window;
    window.show();
    auto *urlBox = window.findChild<QLineEdit *>(QStringLiteral("URLBox"));
    auto *retrieve = window.findChild<QPushButton *>(QStringLiteral("Retrieve"));
    auto *box = window.findChild<PageBox *>(QStringLiteral("ContentBox"));
    if (!urlBox || !retrieve || !box)
        return 1;
    box->setFocus();
    std::vector<double> clicks;
    std::vector<double> paints;
    std::vector<double> stalls;
    for (int run = 0; run < runs; ++run) {
        window.setPageText(QString());
        urlBox->setText(url);
        QCoreApplication::processEvents();
        Clock clock;
        retrieve->click();
        clicks.push_back(clock.ms());
        clock.restart();
        box->viewport()->repaint();
        paints.push_back(clock.ms());
        stalls.push_back(largestStall([box] { return box->isIndexed(); }));
        if (clicks.back() > SlowMs)
            break;
    }
    if (box->pageText().size() != expected) {
        std::fprintf(stderr, "the page box holds %lld characters, not %lld\n",
                     static_cast<long long>(box->pageText().size()),
                     static_cast<long long>(expected));
        return 1;
    }
    print("click", median(clicks));
    print("paint", median(paints));
    print("stall", *std::max_element(stalls.begin(), stalls.end()));
    const qsizetype middle = expected / 2;
    timeSteps(
        box, box->viewport(), [&] { box->setCursorPosition(middle); }, runs);
    return 0;
}

int runPlain(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QString text = QString::fromUtf8(file.readAll());
    QPlainTextEdit edit;
    edit.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    edit.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    edit.resize(PageBoxSize);
    edit.show();
    edit.setFocus();
    QCoreApplication::processEvents();
    const Clock clock;
    edit.setPlainText(text);
    edit.viewport()->repaint();
    print("shown", clock.ms());
    const auto toMiddle = [&] {
        QTextCursor cursor(edit.document());
        cursor.setPosition(int(text.size() / 2));
        edit.setTextCursor(cursor);
    };
    timeSteps(&edit, edit.viewport(), toMiddle, 1);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 5 && arguments[1] == QLatin1String("window"))
        return runWindow(std::max(1, arguments[2].toInt()), arguments[3],
                         arguments[4].toLongLong());
    if (arguments.size() == 3 && arguments[1] == QLatin1String("plain"))
        return runPlain(arguments[2]);
    std::fprintf(stderr, "Usage: tarnwick-hardtextbench window RUNS URL EXPECTED-CHARACTERS\n"
                         "       tarnwick-hardtextbench plain FILE\n");
    return 2;
}

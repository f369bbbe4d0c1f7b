// SPDX-License-Identifier: GPL-3.0-or-later
// The page box against a plain QPlainTextEdit set up as the page box once was (wrapping at
// its width, the vertical scroll bar always shown), offscreen, at the window's size.
//
// Usage: tarnwick-pageboxbench timing [MAX-PLAIN-MIB]
//            Makes pages of HTML lines (1, 10, 100, 250 MiB) and of one line (1, 5, 20, 250 MiB)
//            and prints a Markdown table: first paint after the text is set, the largest
//            stall of the event loop until the box has finished its idle work, one typed
//            key, Backspace and a paste of 1 KiB (the slowest of the start, the middle and
//            the end of the page), and Ctrl+End, both once the box has finished its idle
//            work and at once after the text is set. The plain editor is measured only on pages
//            up to MAX-PLAIN-MIB (default 100): it needs seconds per step beyond.
//        tarnwick-pageboxbench memory window|plain URL
//            Retrieves URL into the window (or into a plain editor) and prints the resident
//            size before (idle) and once the page is shown, and the peak during the
//            retrieval, in MiB.
//        tarnwick-pageboxbench memory again|copy URL
//            Retrieves URL into the window, copies a word of it (copy) or not (again), and
//            prints the resident size and the peak during a second retrieval of URL, in MiB.
//        tarnwick-pageboxbench edits [MIB] [EDITS]
//            Makes a page of HTML lines (default 100 MiB) and makes EDITS (default 100,000)
//            edits at scattered places in the page box, alternately a typed letter and a
//            Backspace, each timed with the repaint that shows it (placing the caret is not
//            timed). Prints the median edit of the first and of the last thousand, and their
//            ratio; and, since a busy machine may slow the last thousand, the last against
//            the same edits made at the same moments on a fresh copy of the page.

#include "mainwindow.h"
#include "pagebox.h"
#include "pagewindow.h"
#include "retrieval.h"
#include "tcpsocket.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr QSize PageBoxSize(361, 233);
constexpr qsizetype MiB = 1024 * 1024;
constexpr int EditRuns = 5;
// After the idle work is done, the event loop is watched this much longer.
constexpr int SettleMs = 200;

QString linesPage(qsizetype size)
{
    QString page =
        QStringLiteral("<!DOCTYPE html>\n<html><head><title>Bench</title></head><body>\n");
    page.reserve(size + 200);
    for (int n = 0; page.size() < size; ++n)
        page += QStringLiteral("<p class=\"row\">Line %1: the quick brown fox jumps over the lazy "
                               "dog, <a href=\"/page/%1.html\">more</a></p>\n")
                    .arg(n);
    page += QStringLiteral("</body></html>\n");
    return page;
}

QString oneLinePage(qsizetype size)
{
    QString page = QStringLiteral("<html><body><p>");
    page.reserve(size + 100);
    for (int n = 0; page.size() < size - 20; ++n)
        page += QStringLiteral("<span>word %1</span> ").arg(n);
    page += QStringLiteral("</p></body></html>");
    return page;
}

// What the bench does to either box.
struct Subject
{
    std::function<QWidget *()> widget;
    std::function<void(const QString &)> setText;
    std::function<QWidget *()> viewport;
    std::function<void(qsizetype)> placeCursor;
    std::function<bool()> finished;
};

Subject pageBoxSubject(PageBox &box)
{
    return {[&box] { return static_cast<QWidget *>(&box); },
            [&box](const QString &text) { box.setPageText(text); },
            [&box] { return box.viewport(); },
            [&box](qsizetype position) { box.setCursorPosition(position); },
            [&box] { return box.isIndexed(); }};
}

Subject plainSubject(QPlainTextEdit &edit)
{
    return {[&edit] { return static_cast<QWidget *>(&edit); },
            [&edit](const QString &text) { edit.setPlainText(text); },
            [&edit] { return edit.viewport(); },
            [&edit](qsizetype position) {
                QTextCursor cursor(edit.document());
                cursor.setPosition(
                    int(std::min<qsizetype>(position, edit.document()->characterCount() - 1)));
                edit.setTextCursor(cursor);
            },
            [] { return true; }};
}

void configurePlain(QPlainTextEdit &edit)
{
    edit.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    edit.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    edit.setTabChangesFocus(true);
}

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

struct Settling
{
    double firstPaint = 0;
    double largestStall = 0;
};

// Sets the text from inside a running event loop whose timer ticks every millisecond, and
// keeps the loop running until the box has finished its idle work and a while after.
Settling setAndSettle(Subject &subject, const QString &text)
{
    Settling result;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    double lastTick = 0;
    double doneAt = -1;
    bool textSet = false; // until then, the box is idle with its old text
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double now = msSince(clock);
        result.largestStall = std::max(result.largestStall, now - lastTick);
        lastTick = now;
        if (textSet && doneAt < 0 && subject.finished())
            doneAt = now;
        if (doneAt >= 0 && now - doneAt > SettleMs)
            loop.quit();
    });
    QTimer::singleShot(20, [&] {
        QElapsedTimer set;
        set.start();
        subject.setText(text);
        subject.viewport()->repaint();
        result.firstPaint = msSince(set);
        textSet = true;
    });
    ticker.start();
    loop.exec();
    return result;
}

double timeKey(Subject &subject, int key, Qt::KeyboardModifiers modifiers, const QString &typed)
{
    QElapsedTimer timer;
    timer.start();
    QKeyEvent press(QEvent::KeyPress, key, modifiers, typed);
    QCoreApplication::sendEvent(subject.widget(), &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, typed);
    QCoreApplication::sendEvent(subject.widget(), &release);
    subject.viewport()->repaint();
    return msSince(timer);
}

// The slowest median of an edit at the start, in the middle and at the end of the text.
double timeEdit(Subject &subject, qsizetype length, int key, Qt::KeyboardModifiers modifiers,
                const QString &typed, int runs)
{
    double slowest = 0;
    for (const qsizetype at : {qsizetype(100), length / 2, length - 100}) {
        subject.placeCursor(at);
        std::vector<double> samples;
        for (int run = 0; run < runs; ++run)
            samples.push_back(timeKey(subject, key, modifiers, typed));
        slowest = std::max(slowest, median(samples));
    }
    return slowest;
}

void printRow(const char *page, const char *box, const Settling &settling, double key,
              double backspace, double paste, double ctrlEnd, double ctrlEndAtOnce)
{
    std::printf("| %s | %s | %.1f | %.1f | %.2f | %.2f | %.2f | %.1f | %.1f |\n", page, box,
                settling.firstPaint, settling.largestStall, key, backspace, paste, ctrlEnd,
                ctrlEndAtOnce);
    std::fflush(stdout);
}

void measure(const char *name, const QString &text, bool plainToo)
{
    const QString kib = QStringLiteral("<a href=\"x\">y</a>\n").repeated(64).left(1024);
    for (const bool plain : {false, true}) {
        if (plain && !plainToo) {
            std::printf("| %s | QPlainTextEdit | not measured | | | | | | |\n", name);
            continue;
        }
        std::unique_ptr<QWidget> widget;
        Subject subject;
        if (plain) {
            auto *edit = new QPlainTextEdit;
            configurePlain(*edit);
            widget.reset(edit);
            subject = plainSubject(*edit);
        } else {
            auto *box = new PageBox;
            widget.reset(box);
            subject = pageBoxSubject(*box);
        }
        widget->resize(PageBoxSize);
        widget->show();
        widget->setFocus();
        QCoreApplication::processEvents();

        const Settling settling = setAndSettle(subject, text);
        // One sample is enough where a step takes seconds.
        const int runs = settling.firstPaint > 1000 ? 1 : EditRuns;
        const double key =
            timeEdit(subject, text.size(), Qt::Key_X, Qt::NoModifier, QStringLiteral("x"), runs);
        const double backspace =
            timeEdit(subject, text.size(), Qt::Key_Backspace, Qt::NoModifier, QString(), runs);
        QGuiApplication::clipboard()->setText(kib);
        const double paste = timeEdit(subject, text.size(), Qt::Key_V, Qt::ControlModifier,
                                      QString(), std::min(runs, 3));
        subject.placeCursor(0);
        subject.viewport()->repaint();
        const double ctrlEnd = timeKey(subject, Qt::Key_End, Qt::ControlModifier, QString());
        // Ctrl+End straight after the text is set, before any idle work (the plain editor does
        // all its work in setting the text).
        subject.setText(text);
        subject.viewport()->repaint();
        const double ctrlEndAtOnce = timeKey(subject, Qt::Key_End, Qt::ControlModifier, QString());
        printRow(name, plain ? "QPlainTextEdit" : "page box", settling, key, backspace, paste,
                 ctrlEnd, ctrlEndAtOnce);
    }
}

// The process's resident size and its peak so far, in MiB.
std::pair<double, double> residentMemory()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return {-1, -1};
    double rss = -1;
    double peak = -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            rss = line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
        else if (line.startsWith("VmHWM:"))
            peak = line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    }
    return {rss, peak};
}

// The window the retrieval writes into, with a plain editor as its page box.
class PlainWindow : public PageWindow
{
public:
    explicit PlainWindow(const QString &url)
        : m_url(url)
    {
        configurePlain(m_edit);
        m_edit.resize(PageBoxSize);
        m_edit.show();
    }
    QString urlText() const override { return m_url; }
    void setUrlText(const QString &text) override { m_url = text; }
    void setPageText(const QString &text) override { m_edit.setPlainText(text); }
    void setPortCaption(const QString &) override {}
    bool redirecting() const override { return m_redirecting; }
    void setRedirecting(bool on) override { m_redirecting = on; }

private:
    QPlainTextEdit m_edit;
    QString m_url;
    bool m_redirecting = false;
};

// Retrieves `url` into the window a first time, copies a word of it when `copy` says so, and
// prints the peak of a second retrieval of it: a copied word must not keep the first page.
int measureSecondPeak(const QString &url, bool copy)
{
    Main window;
    window.show();
    auto *box = window.findChild<PageBox *>(QStringLiteral("ContentBox"));
    window.findChild<QLineEdit *>(QStringLiteral("URLBox"))->setText(url);
    auto *retrieve = window.findChild<QPushButton *>(QStringLiteral("Retrieve"));
    // The retrieval goes on after the click returns: the page is there once the box holds
    // more than a message and has indexed it.
    const auto waitForPage = [box] {
        QElapsedTimer waited;
        waited.start();
        while ((box->characterCount() < 1024 || !box->isIndexed()) && waited.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    };
    retrieve->click();
    waitForPage();
    if (copy) {
        box->setSelection(20, 25);
        box->copy();
    }
    QCoreApplication::processEvents();
    // Writing 5 to clear_refs starts the peak afresh from what is resident now.
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
        return 1;
    clear.close();
    // The window shows the port apart from the URL once it has retrieved it.
    window.findChild<QLineEdit *>(QStringLiteral("URLBox"))->setText(url);
    retrieve->click();
    waitForPage();
    QCoreApplication::processEvents();
    const auto [rss, peak] = residentMemory();
    std::printf("shown %lld\nresident %.0f\npeak %.0f\n",
                static_cast<long long>(box->characterCount()), rss, peak);
    return 0;
}

int measureMemory(const QString &which, const QString &url)
{
    if (which == QLatin1String("again") || which == QLatin1String("copy"))
        return measureSecondPeak(url, which == QLatin1String("copy"));
    std::unique_ptr<Main> window;
    std::unique_ptr<PlainWindow> plain;
    PageBox *box = nullptr;
    if (which == QLatin1String("window")) {
        window = std::make_unique<Main>();
        window->show();
        box = window->findChild<PageBox *>(QStringLiteral("ContentBox"));
        window->findChild<QLineEdit *>(QStringLiteral("URLBox"))->setText(url);
    } else {
        plain = std::make_unique<PlainWindow>(url);
    }
    QCoreApplication::processEvents();
    const double idle = residentMemory().first;
    if (window) {
        window->findChild<QPushButton *>(QStringLiteral("Retrieve"))->click();
    } else {
        TcpSocket socket;
        retrievePage(*plain, socket);
    }
    while (box && !box->isIndexed())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QCoreApplication::processEvents();
    const auto [rss, peak] = residentMemory();
    std::printf("idle %.0f\nresident %.0f\npeak %.0f\n", idle, rss, peak);
    return 0;
}

// Edits scattered over a large page: whether an edit costs the same after many others.
// Beside the page that takes them, a fresh copy of it takes an edit at the same place and
// gives it back at once, so that it stays as it was set: its edits, timed in the same
// moments, are what a first edit costs while the machine is as busy as it is then.
int measureEdits(qsizetype size, int edits)
{
    constexpr int Sample = 1000;
    const QString page = linesPage(size);
    PageBox box;
    PageBox fresh;
    for (PageBox *each : {&box, &fresh}) {
        each->resize(PageBoxSize);
        each->show();
        each->setPageText(page);
        while (!each->isIndexed())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    Subject subject = pageBoxSubject(box);
    Subject freshSubject = pageBoxSubject(fresh);
    QRandomGenerator random(20261209);
    std::vector<double> first, last, freshFirst, freshLast;
    QElapsedTimer clock;
    clock.start();
    for (int edit = 0; edit < edits; ++edit) {
        const qsizetype at = 1 + random.bounded(box.characterCount() - 1);
        box.setCursorPosition(at);
        box.viewport()->repaint();
        const bool typed = edit % 2 == 0;
        const double ms = timeKey(subject, typed ? Qt::Key_X : Qt::Key_Backspace, Qt::NoModifier,
                                  typed ? QStringLiteral("x") : QString());
        const bool sampled = edit < Sample || edit >= edits - Sample;
        if (!sampled)
            continue;
        (edit < Sample ? first : last).push_back(ms);
        fresh.setCursorPosition(std::min(at, fresh.characterCount()));
        fresh.viewport()->repaint();
        const double freshMs = timeKey(freshSubject, typed ? Qt::Key_X : Qt::Key_Backspace,
                                       Qt::NoModifier, typed ? QStringLiteral("x") : QString());
        (edit < Sample ? freshFirst : freshLast).push_back(freshMs);
        timeKey(freshSubject, Qt::Key_Z, Qt::ControlModifier, QString());
    }
    std::printf("edits %d on %lld MiB, %.0f s in all\n", edits, static_cast<long long>(size / MiB),
                double(clock.elapsed()) / 1000);
    std::printf("first %.3f\nlast %.3f\nratio %.2f\n", median(first), median(last),
                median(last) / median(first));
    std::printf("fresh page first %.3f\nfresh page last %.3f\nlast against the fresh page %.2f\n",
                median(freshFirst), median(freshLast), median(last) / median(freshLast));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 4 && arguments[1] == QLatin1String("memory"))
        return measureMemory(arguments[2], arguments[3]);
    if (arguments.size() >= 2 && arguments[1] == QLatin1String("edits"))
        return measureEdits((arguments.size() > 2 ? arguments[2].toLongLong() : 100) * MiB,
                            arguments.size() > 3 ? arguments[3].toInt() : 100000);
    if (arguments.size() < 2 || arguments[1] != QLatin1String("timing")) {
        std::fprintf(stderr, "Usage: tarnwick-pageboxbench timing [MAX-PLAIN-MIB]\n"
                             "       tarnwick-pageboxbench memory window|plain|again|copy URL\n"
                             "       tarnwick-pageboxbench edits [MIB] [EDITS]\n");
        return 2;
    }
    const qsizetype maxPlain = (arguments.size() > 2 ? arguments[2].toLongLong() : 100) * MiB;

    std::printf("| page | box | first paint | largest stall | key | Backspace | 1 KiB paste | "
                "Ctrl+End | set, then Ctrl+End at once |\n|---|---|---|---|---|---|---|---|---|\n");
    const struct
    {
        const char *name;
        qsizetype size;
        bool oneLine;
    } pages[] = {
        {"lines-1mb", MiB, false},         {"lines-10mb", 10 * MiB, false},
        {"lines-100mb", 100 * MiB, false}, {"lines-250mb", 250 * MiB, false},
        {"line-1mb", MiB, true},           {"line-5mb", 5 * MiB, true},
        {"line-20mb", 20 * MiB, true},     {"line-250mb", 250 * MiB, true},
    };
    for (const auto &page : pages) {
        const QString text = page.oneLine ? oneLinePage(page.size) : linesPage(page.size);
        measure(page.name, text, page.size <= maxPlain);
    }
    return 0;
}

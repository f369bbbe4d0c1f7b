// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"
#include "pagebox.h"

#include <QAccessible>
#include <QPlainTextEdit>
#include <QTest>

// What a screen reader learns about each control: its name, a description, no access key,
// which box each caption names, and the page box's text, caret and selection.
class tst_Accessibility : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void controlIsDescribed_data();
    void controlIsDescribed();
    void captionLabelsItsBox_data();
    void captionLabelsItsBox();
    void portNameCarriesThePort_data();
    void portNameCarriesThePort();
    void pageBoxOffersTextCaretAndSelection();
    void pageBoxIsEditedAndShownByTools();
    void linesAsAPlainTextEditGivesThem_data();
    void linesAsAPlainTextEditGivesThem();
    void runsAsAPlainTextEditGivesThem();

private:
    QAccessibleInterface *accessible(const QString &objectName) const
    {
        auto *widget = m_window->findChild<QWidget *>(objectName);
        return widget ? QAccessible::queryAccessibleInterface(widget) : nullptr;
    }

    std::unique_ptr<Main> m_window;
};

void tst_Accessibility::init()
{
    m_window = std::make_unique<Main>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_Accessibility::cleanup()
{
    m_window.reset();
}

void tst_Accessibility::controlIsDescribed_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("name");

    QTest::newRow("url-caption") << QStringLiteral("Label_URL") << QStringLiteral("URL");
    QTest::newRow("url-box") << QStringLiteral("URLBox") << QStringLiteral("URL");
    QTest::newRow("port") << QStringLiteral("PortNum") << QStringLiteral("Port");
    QTest::newRow("retrieve") << QStringLiteral("Retrieve") << QStringLiteral("Retrieve");
    QTest::newRow("contents-caption")
        << QStringLiteral("Label_Contents") << QStringLiteral("Page contents");
    QTest::newRow("page-box") << QStringLiteral("ContentBox") << QStringLiteral("Page contents");
    QTest::newRow("save") << QStringLiteral("SaveAs") << QStringLiteral("Save");
}

void tst_Accessibility::controlIsDescribed()
{
    QFETCH(QString, objectName);
    QFETCH(QString, name);

    QAccessibleInterface *control = accessible(objectName);
    QVERIFY2(control, qPrintable(objectName));
    QVERIFY(!control->text(QAccessible::Description).isEmpty());
    QCOMPARE(control->text(QAccessible::Accelerator), QString());
    QCOMPARE(control->text(QAccessible::Name), name);
}

void tst_Accessibility::captionLabelsItsBox_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("box");

    QTest::newRow("url") << QStringLiteral("Label_URL") << QStringLiteral("URLBox");
    QTest::newRow("page-contents")
        << QStringLiteral("Label_Contents") << QStringLiteral("ContentBox");
}

void tst_Accessibility::captionLabelsItsBox()
{
    QFETCH(QString, caption);
    QFETCH(QString, box);

    QAccessibleInterface *boxInterface = accessible(box);
    QVERIFY(boxInterface);
    const auto labels = boxInterface->relations(QAccessible::Label);
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels.first().first->object()->objectName(), caption);
}

void tst_Accessibility::portNameCarriesThePort_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("name");

    QTest::newRow("port-shown") << QStringLiteral("8080") << QStringLiteral("Port 8080");
    QTest::newRow("port-cleared") << QString() << QStringLiteral("Port");
}

void tst_Accessibility::portNameCarriesThePort()
{
    QFETCH(QString, caption);
    QFETCH(QString, name);

    m_window->setPortCaption(QStringLiteral("80"));
    m_window->setPortCaption(caption);
    QCOMPARE(accessible(QStringLiteral("PortNum"))->text(QAccessible::Name), name);
}

// The text comes as it stands, line breaks and U+00A0 included; the caret and the selection
// can be read and set.
void tst_Accessibility::pageBoxOffersTextCaretAndSelection()
{
    const QString page = QString::fromUtf16(u"one\r\ntwo\u00a0three\nfour");
    m_window->setPageText(page);
    QAccessibleTextInterface *text = accessible(QStringLiteral("ContentBox"))->textInterface();
    QVERIFY(text);
    text->setSelection(0, 5, 8);
    int start = 0;
    int end = 0;
    text->selection(0, &start, &end);
    int lineStart = 0;
    int lineEnd = 0;
    const QString line = text->textAtOffset(9, QAccessible::LineBoundary, &lineStart, &lineEnd);
    int runStart = 0;
    int runEnd = 0;
    text->attributes(4, &runStart, &runEnd); // in the CR LF, a run of its own

    QCOMPARE(text->characterCount(), int(page.size()));
    QCOMPARE(text->text(0, text->characterCount()), page);
    QCOMPARE(text->cursorPosition(), 8);
    QCOMPARE(QList<int>({start, end}), QList<int>({5, 8}));
    QCOMPARE(line, QString::fromUtf16(u"two\u00a0three"));
    QCOMPARE(QList<int>({lineStart, lineEnd}), QList<int>({5, 14}));
    QCOMPARE(QList<int>({runStart, runEnd}), QList<int>({3, 5}));
}

// Each edit of a tool is a step of its own, its line breaks those of the page, and leaves
// the selection with its text; showing a stretch of text moves neither caret nor selection.
void tst_Accessibility::pageBoxIsEditedAndShownByTools()
{
    QString lines;
    for (int n = 0; n < 100; ++n)
        lines += QStringLiteral("line %1\r\n").arg(n, 2, 10, QLatin1Char('0'));
    m_window->setPageText(lines);
    auto *box = m_window->findChild<PageBox *>(QStringLiteral("ContentBox"));
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(box);
    QAccessibleEditableTextInterface *editable = accessible->editableTextInterface();
    QVERIFY(editable);
    box->setSelection(5, 7);
    const auto seen = [box] {
        return QStringLiteral("%1 %2-%3")
            .arg(box->textRange(0, 9))
            .arg(box->anchorPosition())
            .arg(box->cursorPosition());
    };

    editable->insertText(0, QStringLiteral("a\nb"));
    QStringList seenAfterEach{seen()};
    editable->replaceText(0, 4, QStringLiteral("x"));
    seenAfterEach << seen();
    editable->deleteText(0, 1);
    seenAfterEach << seen();
    accessible->textInterface()->scrollToSubstring(900, 905);
    seenAfterEach << seen();
    const bool shown = box->viewport()->rect().contains(box->characterRect(900).center());
    int undone = 0;
    for (; box->isUndoAvailable(); ++undone)
        box->undo();

    QCOMPARE(seenAfterEach,
             QStringList({QStringLiteral("a\r\nbline  9-11"), QStringLiteral("xline 00\r 6-8"),
                          QStringLiteral("line 00\r\n 5-7"), QStringLiteral("line 00\r\n 5-7")}));
    QVERIFY(shown);
    QCOMPARE(undone, 3);
    QCOMPARE(box->pageText(), lines);
}

namespace {

// The paragraph of two sentences wraps into several lines; a short line, an empty one, a
// last one.
const QString ReadPage = QStringLiteral("The quick brown fox jumps over the lazy dog. And then "
                                        "the dog wakes up and chases the quick brown fox "
                                        "round the yard.\nA short line\n\nthe end");

} // namespace

// A screen reader reads the line at the caret as the line on screen, a paragraph as a line of
// the text, and a word or a sentence within its line, without the line break after it, just
// as from a plain text editor of the same size. (What follows a line or a sentence, and what comes
// before the first, are not compared: the editor's interface gives the line itself again.)
void tst_Accessibility::linesAsAPlainTextEditGivesThem_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QAccessible::TextBoundaryType>("boundary");
    QTest::addColumn<int>("offset"); // below 0: from the end, -1 the end itself

    const QString page = ReadPage;
    // Offsets in each line of the wrapped paragraph, at its end, in the short line and at the
    // end of the text.
    for (const int offset : {0, 30, 60, 117, 118, 125, 131, 138}) {
        QTest::addRow("line-at-%d", offset) << page << QAccessible::LineBoundary << offset;
        QTest::addRow("paragraph-at-%d", offset)
            << page << QAccessible::ParagraphBoundary << offset;
    }
    // In each sentence of the paragraph, at the end of each line, on the empty line.
    for (const int offset : {0, 43, 44, 60, 117, 118, 130, 131, 132, 136})
        QTest::addRow("sentence-at-%d", offset) << page << QAccessible::SentenceBoundary << offset;
    // In the first word, at the end of a line after a word, on the empty line.
    // (Between words the plain editor gives the word before, the box the blanks.)
    for (const int offset : {1, 131, 132})
        QTest::addRow("word-at-%d", offset) << page << QAccessible::WordBoundary << offset;
    // A text that ends with a line break: at its end (where say all and Ctrl+End leave the
    // caret), in the break and before it; a word only at the end, as the word before the
    // last is the blank before it. A CR LF break is one break of two characters.
    const QList<std::pair<const char *, QAccessible::TextBoundaryType>> boundaries = {
        {"line", QAccessible::LineBoundary},
        {"paragraph", QAccessible::ParagraphBoundary},
        {"sentence", QAccessible::SentenceBoundary},
        {"word", QAccessible::WordBoundary}};
    for (const auto &[name, boundary] : boundaries) {
        for (const int offset : {-1, -2, -3}) {
            if (boundary == QAccessible::WordBoundary && offset != -1)
                continue;
            QTest::addRow("%s-at-%d-after-a-final-lf", name, offset)
                << QStringLiteral("A short line\nthe end\n") << boundary << offset;
            QTest::addRow("%s-at-%d-after-a-final-crlf", name, offset)
                << QStringLiteral("A short line\r\nthe end\r\n") << boundary << offset;
        }
    }
}

void tst_Accessibility::linesAsAPlainTextEditGivesThem()
{
    QFETCH(QString, page);
    QFETCH(QAccessible::TextBoundaryType, boundary);
    QFETCH(int, offset);

    // The plain editor keeps a CR LF break as one character: the box's offsets are compared
    // as they count there.
    const QString plainPage = QString(page).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    const auto asInPlain = [&](int at) {
        return at - int(page.first(std::clamp(at, 0, int(page.size()))).count(u"\r\n"));
    };
    QPlainTextEdit plain(plainPage);
    PageBox box;
    box.setPageText(page);
    for (QAbstractScrollArea *editor :
         {static_cast<QAbstractScrollArea *>(&plain), static_cast<QAbstractScrollArea *>(&box)}) {
        editor->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        editor->resize(200, 150);
        editor->show();
        QVERIFY(QTest::qWaitForWindowExposed(editor));
    }
    const auto read = [&](QWidget *editor, auto &&mapped) {
        QAccessibleTextInterface *text =
            QAccessible::queryAccessibleInterface(editor)->textInterface();
        const int at = offset < 0 ? text->characterCount() + 1 + offset : offset;
        QStringList seen;
        int start = 0;
        int end = 0;
        seen << text->textAtOffset(at, boundary, &start, &end);
        seen << QStringLiteral("%1-%2").arg(mapped(start)).arg(mapped(end));
        if (start > 0) {
            seen << text->textBeforeOffset(at, boundary, &start, &end);
            seen << QStringLiteral("%1-%2").arg(mapped(start)).arg(mapped(end));
        }
        return seen;
    };
    QCOMPARE(read(&box, asInPlain), read(&plain, [](int at) { return at; }));
}

// A screen reader reads a line run by run, from the text attributes: a line's characters, its
// line break, the end (-1) and past it give the same runs and font as a plain text editor's.
void tst_Accessibility::runsAsAPlainTextEditGivesThem()
{
    QPlainTextEdit plain(ReadPage);
    PageBox box;
    box.setPageText(ReadPage);
    const auto runs = [](QWidget *editor) {
        QAccessibleTextInterface *text =
            QAccessible::queryAccessibleInterface(editor)->textInterface();
        QStringList seen;
        for (int offset = -1; offset <= text->characterCount() + 1; ++offset) {
            int start = 0;
            int end = 0;
            const QString attributes = text->attributes(offset, &start, &end);
            seen << QStringLiteral("%1: %2-%3 %4").arg(offset).arg(start).arg(end).arg(attributes);
        }
        return seen;
    };
    QCOMPARE(runs(&box), runs(&plain));
}

QTEST_MAIN(tst_Accessibility)
#include "tst_accessibility.moc"

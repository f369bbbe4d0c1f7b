// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"

#include "pagebox.h"
#include "pageboxaccessible.h"
#include "pagesave.h"
#include "retrieval.h"

#include <QDir>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <utility>

namespace {

constexpr qint16 FlagTrue = -1;
constexpr qint16 FlagFalse = 0;

// A page that answers plain HTTP; the user replaces it with the page they want.
const QString DefaultUrl = QStringLiteral("info.cern.ch/hypertext/WWW/TheProject.html");

// The layout is fixed, in pixels at 96 dots per inch; Qt scales it on denser screens.
constexpr QSize ClientSize(377, 345);
constexpr QRect ContentBoxGeometry(8, 72, 361, 233);
constexpr QRect UrlBoxGeometry(8, 32, 273, 19);
constexpr QRect SaveAsGeometry(320, 312, 49, 25);
constexpr QRect RetrieveGeometry(312, 32, 57, 21);
constexpr QRect LabelUrlGeometry(8, 16, 33, 17);
constexpr QRect LabelContentsGeometry(8, 56, 81, 17);
constexpr QRect PortNumGeometry(288, 32, 25, 17);

// The frame of a fixed-size window: a title, minimise and close, and nothing that would
// maximise it.
constexpr Qt::WindowFlags FrameFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                       Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                       Qt::WindowCloseButtonHint;

constexpr int IconSizes[] = {16, 24, 32, 48, 64, 128, 256};

// Shows the busy cursor while a retrieval holds the window.
class WaitCursor
{
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

QIcon tarnwickIcon()
{
    QIcon icon;
    for (int size : IconSizes)
        icon.addFile(QStringLiteral(":/icons/tarnwick-%1.png").arg(size), QSize(size, size));
    return icon;
}

// What a screen reader announces for a control.
void describe(QWidget *control, const QString &name, const QString &description)
{
    control->setAccessibleName(name);
    control->setAccessibleDescription(description);
}

// The port label's text is a value, so it is part of what a screen reader announces.
QString portAccessibleName(const QString &caption)
{
    const QString name = QStringLiteral("Port");
    return caption.isEmpty() ? name : name + u' ' + caption;
}

// Nothing stands to the right of the two captions, so a font wider than the layout was
// drawn for widens them rather than cutting their text off.
void placeLabel(QLabel *label, QRect geometry)
{
    geometry.setWidth(qMax(geometry.width(), label->sizeHint().width()));
    label->setGeometry(geometry);
}

// The port label leaves room for four narrow digits, and the Retrieve button stands right
// beside it, so a caption too wide for the font is drawn smaller rather than cut off.
void fitCaptionToWidth(QLabel *label)
{
    constexpr qreal SmallestPointSize = 5;
    QFont font = label->parentWidget()->font();
    while (font.pointSizeF() > SmallestPointSize &&
           QFontMetrics(font).horizontalAdvance(label->text()) > label->width())
        font.setPointSizeF(font.pointSizeF() - 0.5);
    label->setFont(font);
}

} // namespace

Main::Main(QWidget *parent)
    : QWidget(parent)
    , SaveBox(this)
{
    setObjectName(QStringLiteral("Main"));
    setWindowTitle(QStringLiteral("Tarnwick"));
    setWindowFlags(FrameFlags);
    setWindowIcon(tarnwickIcon());
    // Before the page box exists, so that assistive tools read its text from the start.
    installPageBoxAccessibility();
    createControls();
    placeControls();

    connect(Retrieve, &QPushButton::clicked, this, &Main::Retrieve_Click);
    connect(SaveAs, &QPushButton::clicked, this, &Main::SaveAs_Click);
}

void Main::createControls()
{
    // Created in tab order: the page box first, so that it has the focus at start.
    ContentBox = new PageBox(this);
    URLBox = new QLineEdit(DefaultUrl, this);
    SaveAs = new QPushButton(QStringLiteral("Save"), this);
    Retrieve = new QPushButton(QStringLiteral("Retrieve"), this);
    Label_URL = new QLabel(QStringLiteral("URL:"), this);
    Label_Contents = new QLabel(QStringLiteral("Page contents:"), this);
    PortNum = new QLabel(this);

    ContentBox->setObjectName(QStringLiteral("ContentBox"));
    URLBox->setObjectName(QStringLiteral("URLBox"));
    // The box holds every URL that can be fetched, and one character more, so that a longer
    // text pasted into it is refused with a message rather than cut short unseen.
    URLBox->setMaxLength(int(RetrievalLimits().maxUrlLength + 1));
    SaveAs->setObjectName(QStringLiteral("SaveAs"));
    Retrieve->setObjectName(QStringLiteral("Retrieve"));
    Label_URL->setObjectName(QStringLiteral("Label_URL"));
    Label_Contents->setObjectName(QStringLiteral("Label_Contents"));
    PortNum->setObjectName(QStringLiteral("PortNum"));

    // Labels show text as it stands: no markup, no access keys.
    for (QLabel *label : {Label_URL, Label_Contents, PortNum})
        label->setTextFormat(Qt::PlainText);

    // The captions name the boxes below them for assistive tools; with no '&' in their
    // text they give no access key.
    Label_URL->setBuddy(URLBox);
    Label_Contents->setBuddy(ContentBox);
    describe(Label_URL, QStringLiteral("URL"), QStringLiteral("Caption of the URL box"));
    describe(URLBox, QStringLiteral("URL"),
             QStringLiteral("Address of the page to retrieve, such as host/path"));
    describe(PortNum, portAccessibleName(QString()),
             QStringLiteral("Port used by the last retrieval"));
    describe(
        Retrieve, QStringLiteral("Retrieve"),
        QStringLiteral("Fetches the page at the URL and shows its text in the page contents box"));
    describe(Label_Contents, QStringLiteral("Page contents"),
             QStringLiteral("Caption of the page contents box"));
    describe(ContentBox, QStringLiteral("Page contents"),
             QStringLiteral("Text of the retrieved page, or a message if the retrieval failed; "
                            "it can be edited and saved"));
    describe(SaveAs, QStringLiteral("Save"), QStringLiteral("Saves the page contents to a file"));

    setTabOrder(ContentBox, URLBox);
    setTabOrder(URLBox, SaveAs);
    setTabOrder(SaveAs, Retrieve);
    ContentBox->setFocus();
}

void Main::placeControls()
{
    setFixedSize(ClientSize);
    ContentBox->setGeometry(ContentBoxGeometry);
    URLBox->setGeometry(UrlBoxGeometry);
    SaveAs->setGeometry(SaveAsGeometry);
    Retrieve->setGeometry(RetrieveGeometry);
    PortNum->setGeometry(PortNumGeometry);
    placeLabel(Label_URL, LabelUrlGeometry);
    placeLabel(Label_Contents, LabelContentsGeometry);
}

QString Main::urlText() const
{
    return m_pressUrl ? m_pressUrl->text : URLBox->text();
}

void Main::setUrlText(const QString &text)
{
    if (m_pressUrl)
        *m_pressUrl = {text, true};
    else
        URLBox->setText(text);
}

void Main::setPageText(const QString &text)
{
    ContentBox->setPageText(text);
}

QString Main::pageText() const
{
    return ContentBox->pageText();
}

void Main::setPortCaption(const QString &caption)
{
    PortNum->setText(caption);
    fitCaptionToWidth(PortNum);
    PortNum->setAccessibleName(portAccessibleName(caption));
}

bool Main::redirecting() const
{
    return Redirecting == FlagTrue;
}

void Main::setRedirecting(bool on)
{
    Redirecting = on ? FlagTrue : FlagFalse;
}

void Main::Retrieve_Click()
{
    const WaitCursor busy;
    m_pressUrl = PressUrl{URLBox->text()};
    retrievePage(*this, SocketWrench);
    const PressUrl url = *std::exchange(m_pressUrl, std::nullopt);
    if (url.written)
        URLBox->setText(url.text);
}

void Main::setSaveDialog(SaveDialog *dialog)
{
    m_saveDialog = dialog ? dialog : &SaveBox;
}

void Main::setSaveFailureReport(SaveFailureReport report)
{
    m_saveFailureReport = std::move(report);
}

void Main::SaveAs_Click()
{
    const SaveOutcome outcome = savePage(*m_saveDialog, [this] { return ContentBox->pageText(); });
    if (outcome.result == SaveOutcome::Result::Failed)
        reportSaveFailure(outcome.fileName, outcome.reason);
}

// A failed save changes nothing in the window; it only says which file and why.
void Main::reportSaveFailure(const QString &fileName, const QString &reason)
{
    if (m_saveFailureReport) {
        m_saveFailureReport(fileName, reason);
        return;
    }
    QMessageBox warning(QMessageBox::Warning, QStringLiteral("Save"),
                        QStringLiteral("The page could not be saved to %1.\n\n%2")
                            .arg(QDir::toNativeSeparators(fileName), reason),
                        QMessageBox::Ok, this);
    warning.setObjectName(QStringLiteral("SaveFailure"));
    warning.setTextFormat(Qt::PlainText); // a file name is never markup
    warning.exec();
}

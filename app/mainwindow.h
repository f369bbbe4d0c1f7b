// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagewindow.h"
#include "savebox.h"
#include "tcpsocket.h"

#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;
class PageBox;

// Tarnwick's one window: a URL box, a Retrieve button, the page box and a Save button.
class Main : public QWidget, public PageWindow
{
    Q_OBJECT

public:
    explicit Main(QWidget *parent = nullptr);

    // The retrieval's view of the window.
    QString urlText() const override;
    void setUrlText(const QString &text) override;
    void setPageText(const QString &text) override;
    void setPortCaption(const QString &caption) override;
    bool redirecting() const override;
    void setRedirecting(bool on) override;

    QString pageText() const;

    // Both the Save dialog and the warning about a failed save are modal. Tests give the
    // window a stand-in dialog (nullptr restores the real one) and hear of a failed save
    // through `report` instead of the warning box (an empty one restores the box).
    using SaveFailureReport = std::function<void(const QString &fileName, const QString &reason)>;
    void setSaveDialog(SaveDialog *dialog);
    void setSaveFailureReport(SaveFailureReport report);

public slots:
    void Retrieve_Click();
    void SaveAs_Click();

private:
    void createControls();
    void placeControls();
    void reportSaveFailure(const QString &fileName, const QString &reason);

    QLabel *Label_URL;
    QLineEdit *URLBox;
    QLabel *PortNum;
    QPushButton *Retrieve;
    QLabel *Label_Contents;
    PageBox *ContentBox;
    QPushButton *SaveAs;

    TcpSocket SocketWrench;
    SaveFileDialog SaveBox;
    SaveDialog *m_saveDialog = &SaveBox;
    SaveFailureReport m_saveFailureReport;
    qint16 Redirecting = 0; // -1 while the retrieval about to start follows a redirect
    // During a press, the URL that the retrieval reads and writes: the URL box takes it once,
    // at the end, since laying out a long URL costs time on every write.
    struct PressUrl
    {
        QString text;
        bool written = false;
    };
    std::optional<PressUrl> m_pressUrl;
};

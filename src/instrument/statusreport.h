// SPDX-License-Identifier: MIT
// The status bar beyond the described window. The link's line is a widget of its own, there from
// the first link on and kept after a link ends until the next one opens; messages lie over it, in
// a label of their own: a report for a few seconds, a problem until the user's next action. Both
// are cut with "…" where the window is too narrow for them, whole in their tooltips.
#pragma once

#include <QLabel>
#include <QObject>
#include <QString>
#include <QTimer>

class QStatusBar;

// A one-line label that shows as much of its text as fits, with "…" where it is cut (at the end,
// or in the middle, where a message's path loses its folders before its file and its outcome);
// the whole text is its tooltip. It draws the text itself, as a plain-text QLabel draws it, and its
// size does not follow the text: the link's figures change several times a second, and a QLabel's
// new text has the whole status bar laid out again.
class ElidedLabel : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget *parent = nullptr, Qt::TextElideMode mode = Qt::ElideRight);
    void setFullText(const QString &text);
    QString fullText() const { return full; }
    // What is on show: the text, or as much of it as fits with "…".
    QString shownText() const { return shown; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void elide();
    QString full;
    QString shown;
    Qt::TextElideMode mode;
};

class StatusReport : public QObject {
    Q_OBJECT

public:
    // How long a report stays over the link's line.
    static constexpr int kReportMs = 6000;

    explicit StatusReport(QStatusBar *bar);

    // The link's line (the object "label_LinkStatus"), whole in its tooltip.
    void showLink(const QString &line);
    QString linkLine() const;
    // Something done ("Saved ..."): over the link's line for a few seconds.
    void report(const QString &message);
    // Something that went wrong: stays until clearProblem(). `detail` (the system's own words)
    // goes to the tooltip only.
    void problem(const QString &message, const QString &detail = QString());
    // The user acts again: a problem on show has been read.
    void clearProblem();
    // A new link opens: a report of the last one is over (a problem stays until it is read).
    void clearReport();

private:
    // QStatusBar's own message is cut at the window's edge without a mark: messages go in a label
    // of ours that lies over the link's line as QStatusBar's would.
    void showMessage(const QString &message, const QString &tip, int timeoutMs);
    void clearMessage();

    QStatusBar *bar;
    ElidedLabel *link = nullptr;
    ElidedLabel *message = nullptr; // "label_StatusMessage", made with the first message
    QTimer expiry;
    bool problemShown = false;
};

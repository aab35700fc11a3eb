// SPDX-License-Identifier: MIT
// The status bar beyond the described window. The link's line is a widget of its own, there from
// the first link on and kept after a link ends until the next one opens; messages lie over it: a
// report for a few seconds, a problem until the user's next action.
#pragma once

#include <QLabel>
#include <QObject>
#include <QString>

class QStatusBar;

// A one-line label that shows as much of its text as fits, ending in "…" where it is cut; the whole
// text is its tooltip.
class ElidedLabel : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget *parent = nullptr);
    void setFullText(const QString &text);
    QString fullText() const { return full; }
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void elide();
    QString full;
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
    QStatusBar *bar;
    ElidedLabel *link = nullptr;
    bool problemShown = false;
};

// SPDX-License-Identifier: MIT
#include "statusreport.h"

#include <QFontMetrics>
#include <QStatusBar>

ElidedLabel::ElidedLabel(QWidget *parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString &text)
{
    full = text;
    setToolTip(text);
    elide();
}

QSize ElidedLabel::minimumSizeHint() const
{
    // It may shrink to nothing: the text is cut, not the window widened.
    return QSize(0, QLabel::minimumSizeHint().height());
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide()
{
    const QString shown = fontMetrics().elidedText(full, Qt::ElideRight, contentsRect().width());
    if (shown != text())
        setText(shown);
}

StatusReport::StatusReport(QStatusBar *bar)
    : QObject(bar)
    , bar(bar)
{
}

void StatusReport::showLink(const QString &line)
{
    if (!link) {
        // Made with the first link: before it the status bar is as bare as it ever was.
        link = new ElidedLabel(bar);
        link->setObjectName("label_LinkStatus");
        bar->addWidget(link, 1);
    }
    link->setFullText(line);
    if (!problemShown)
        bar->setToolTip(QString());
}

QString StatusReport::linkLine() const
{
    return link ? link->fullText() : QString();
}

void StatusReport::report(const QString &message)
{
    problemShown = false;
    bar->setToolTip(message);
    bar->showMessage(message, kReportMs);
}

void StatusReport::problem(const QString &message, const QString &detail)
{
    problemShown = true;
    bar->setToolTip(detail.isEmpty() ? message : QStringLiteral("%1 (%2)").arg(message, detail));
    bar->showMessage(message);
}

void StatusReport::clearReport()
{
    if (problemShown)
        return;
    bar->setToolTip(QString());
    bar->clearMessage();
}

void StatusReport::clearProblem()
{
    if (!problemShown)
        return;
    problemShown = false;
    bar->setToolTip(QString());
    bar->clearMessage();
}

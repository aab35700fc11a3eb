// SPDX-License-Identifier: MIT
#include "statusreport.h"

#include <QFontMetrics>
#include <QPainter>
#include <QStatusBar>
#include <QStyle>

ElidedLabel::ElidedLabel(QWidget *parent, Qt::TextElideMode mode)
    : QLabel(parent)
    , mode(mode)
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

QSize ElidedLabel::sizeHint() const
{
    // One line of any text: as a QLabel's, without measuring the text.
    const int frame = 2 * (frameWidth() + margin());
    const QMargins margins = contentsMargins();
    return QSize(fontMetrics().horizontalAdvance(full) + frame + margins.left() + margins.right(),
        fontMetrics().height() + frame + margins.top() + margins.bottom());
}

QSize ElidedLabel::minimumSizeHint() const
{
    // It may shrink to nothing: the text is cut, not the window widened.
    return QSize(0, sizeHint().height());
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    drawFrame(&painter);
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const int flags = QStyle::visualAlignment(layoutDirection(), alignment())
        | (layoutDirection() == Qt::LeftToRight ? Qt::TextForceLeftToRight : Qt::TextForceRightToLeft);
    style()->drawItemText(&painter, area, flags, palette(), isEnabled(), shown, foregroundRole());
}

void ElidedLabel::elide()
{
    const QString fits = fontMetrics().elidedText(full, mode, contentsRect().width() - 2 * margin());
    if (fits == shown)
        return;
    shown = fits;
    update();
}

StatusReport::StatusReport(QStatusBar *bar)
    : QObject(bar)
    , bar(bar)
{
    expiry.setSingleShot(true);
    connect(&expiry, &QTimer::timeout, this, &StatusReport::clearMessage);
}

void StatusReport::showMessage(const QString &text, const QString &tip, int timeoutMs)
{
    if (!message) {
        message = new ElidedLabel(bar, Qt::ElideMiddle);
        message->setObjectName("label_StatusMessage");
        bar->addWidget(message, 1);
    }
    message->setFullText(text);
    message->setToolTip(tip);
    message->show();
    if (link)
        link->hide();
    bar->setToolTip(tip);
    if (timeoutMs > 0)
        expiry.start(timeoutMs);
    else
        expiry.stop();
}

void StatusReport::clearMessage()
{
    expiry.stop();
    problemShown = false;
    bar->setToolTip(QString());
    if (!message)
        return;
    message->setFullText(QString());
    message->hide();
    if (link)
        link->show();
}

void StatusReport::showLink(const QString &line)
{
    if (!link) {
        // Made with the first link: before it the status bar is as bare as it ever was.
        link = new ElidedLabel(bar);
        link->setObjectName("label_LinkStatus");
        bar->addWidget(link, 1);
        link->setVisible(!message || message->isHidden());
    }
    link->setFullText(line);
}

QString StatusReport::linkLine() const
{
    return link ? link->fullText() : QString();
}

void StatusReport::report(const QString &text)
{
    problemShown = false;
    showMessage(text, text, kReportMs);
}

void StatusReport::problem(const QString &text, const QString &detail)
{
    problemShown = true;
    showMessage(text, detail.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, detail), 0);
}

void StatusReport::clearReport()
{
    if (!problemShown)
        clearMessage();
}

void StatusReport::clearProblem()
{
    if (problemShown)
        clearMessage();
}

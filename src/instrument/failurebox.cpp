// SPDX-License-Identifier: MIT
#include "failurebox.h"

#include "mainwindow.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>

namespace {

// The box's first line, which the window keeps as it always was.
const char *const kFailureText = "error initialising comport";
// How much of the screen's width the informative line may take before it wraps, and how much its
// port's name may take, which is never broken while the screen has room for it.
constexpr double kLineShare = 0.6;
constexpr double kNameShare = 0.9;

} // namespace

FailureBox::FailureBox(MainWindow *window)
    : QObject(window)
{
    // Said just before the window builds and shows its box.
    connect(window, &MainWindow::signalLinkRefused, this, &FailureBox::watchForBox);
}

void FailureBox::watchForBox()
{
    qApp->removeEventFilter(this);
    qApp->installEventFilter(this);
}

bool FailureBox::eventFilter(QObject *watched, QEvent *event)
{
    // The show event reaches a filter before the box sizes itself in its own handler.
    auto *box = event->type() == QEvent::Show ? qobject_cast<QMessageBox *>(watched) : nullptr;
    if (!box || box->text() != QLatin1String(kFailureText))
        return false;
    qApp->removeEventFilter(this);
    auto *informative = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"));
    if (!informative)
        return false;
    const QScreen *screen = box->screen() ? box->screen() : QGuiApplication::primaryScreen();
    const int screenWidth = screen ? screen->availableGeometry().width() : 1000;
    // "PORT: why": a URL's own colons have no space after them.
    const QString line = box->informativeText();
    const QFontMetrics metrics = informative->fontMetrics();
    const int lineWidth = metrics.horizontalAdvance(line) + 2;
    const int nameWidth
        = metrics.horizontalAdvance(line.section(QStringLiteral(": "), 0, 0) + ':') + 2;
    informative->setMinimumWidth(std::max(std::min(lineWidth, int(screenWidth * kLineShare)),
        std::min(nameWidth, int(screenWidth * kNameShare))));
    return false;
}

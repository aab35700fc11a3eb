// SPDX-License-Identifier: MIT
#include "spectrumhistorywindow.h"

#include "serialport.h"

#include <QHideEvent>
#include <QPaintEvent>
#include <QPainter>

SpectrumHistoryWindow::SpectrumHistoryWindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("SpectrumHistoryWindow"));
    setWindowTitle(QStringLiteral("Spectrum history"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 240);
    resize(640, 560);
    drainTimer.setSingleShot(true);
    drainTimer.setTimerType(Qt::PreciseTimer);
    connect(&drainTimer, &QTimer::timeout, this, &SpectrumHistoryWindow::drain);
    tap.setFrameListener([this] {
        QMetaObject::invokeMethod(this, &SpectrumHistoryWindow::framesWait, Qt::QueuedConnection);
    });
    // Told on the worker's thread; the posted call is dropped with the window if it goes first.
    tap.setLinkListener([this](bool open) {
        QMetaObject::invokeMethod(
            this, [this, open] { linkChanged(open); }, Qt::QueuedConnection);
    });
}

SpectrumHistoryWindow::~SpectrumHistoryWindow()
{
    disconnectTap();
}

void SpectrumHistoryWindow::attach(SerialPort *port)
{
    disconnectTap();
    attachedPort = port;
    if (isVisible())
        connectTap();
    updateTimer();
}

void SpectrumHistoryWindow::detach()
{
    disconnectTap();
    attachedPort = nullptr;
    updateTimer();
}

void SpectrumHistoryWindow::connectTap()
{
    if (attachedPort && !tapConnected) {
        attachedPort->addTap(&tap);
        tapConnected = true;
        // A link that opens or ends from now on is posted after this, so it has the last word.
        linkOpen = attachedPort->status().open;
    }
}

void SpectrumHistoryWindow::disconnectTap()
{
    // removeTap returns once the worker no longer calls the tap; a port already destroyed had
    // dropped it with its thread.
    if (tapConnected && attachedPort)
        attachedPort->removeTap(&tap);
    tapConnected = false;
    linkOpen = false;
}

void SpectrumHistoryWindow::linkChanged(bool open)
{
    linkOpen = open;
    // A new link's first drain clears the old rows; an ended one's brings its last frames. A
    // paused picture stays as it is until the pause ends.
    if (!paused)
        drain();
    updateTimer();
}

void SpectrumHistoryWindow::setPaused(bool pause)
{
    if (pause == paused)
        return;
    if (pause)
        drain(); // what arrived before the pause is still shown
    paused = pause;
    tap.setPaused(pause);
    updateTimer();
}

void SpectrumHistoryWindow::updateTimer()
{
    draining = isVisible() && !paused && linkOpen;
    if (draining)
        framesWait(); // what came meanwhile
    else
        drainTimer.stop();
}

void SpectrumHistoryWindow::framesWait()
{
    if (!draining || drainTimer.isActive())
        return;
    const qint64 since = sinceDrain.isValid() ? sinceDrain.elapsed() : kDrainIntervalMs;
    if (since >= kDrainIntervalMs)
        drain();
    else
        drainTimer.start(int(kDrainIntervalMs - since));
}

void SpectrumHistoryWindow::drain()
{
    sinceDrain.start();
    if (tap.drainInto(spectra) == 0 && spectra.changedFrom() == INT64_MAX && !spectra.isEmpty())
        return;
    const int rows = picture.follow(spectra);
    drawnRows += rows;
    if (rows > 0) {
        // The time axis moves with the rows; the colour bar and the bin axis stay.
        update(QRect(0, 0, layout.colourBar.left(), height()));
    }
}

void SpectrumHistoryWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    connectTap();
    if (!paused)
        drain(); // what came before it was hidden, also when no link is open now
    updateTimer();
}

void SpectrumHistoryWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (event->spontaneous())
        return; // minimised: it goes on recording
    // Closed or hidden: no frames, no timer. What was drawn stays for the next show.
    disconnectTap();
    updateTimer();
}

void SpectrumHistoryWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layout = WaterfallLayout::within(rect(), fontMetrics());
    picture.setSize(layout.plot.size());
    drawnRows += picture.follow(spectra);
}

void SpectrumHistoryWindow::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), Qt::white);
    // A replay's rows stand at the frames' own times in the recording (each pass from 0 again).
    const bool replay = attachedPort && attachedPort->status().replay;
    paintWaterfall(painter, layout, picture,
                   replay ? QStringLiteral("time in the recording (s)") : QStringLiteral("time since connect (s)"));
}

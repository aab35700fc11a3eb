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
    drainTimer.setInterval(kDrainIntervalMs);
    drainTimer.setTimerType(Qt::PreciseTimer);
    connect(&drainTimer, &QTimer::timeout, this, &SpectrumHistoryWindow::drain);
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
}

void SpectrumHistoryWindow::detach()
{
    disconnectTap();
    attachedPort = nullptr;
}

void SpectrumHistoryWindow::connectTap()
{
    if (attachedPort && !tapConnected) {
        attachedPort->addTap(&tap);
        tapConnected = true;
    }
}

void SpectrumHistoryWindow::disconnectTap()
{
    // removeTap returns once the worker no longer calls the tap; a port already destroyed had
    // dropped it with its thread.
    if (tapConnected && attachedPort)
        attachedPort->removeTap(&tap);
    tapConnected = false;
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
    if (isVisible() && !paused)
        drainTimer.start();
    else
        drainTimer.stop();
}

void SpectrumHistoryWindow::drain()
{
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
    paintWaterfall(painter, layout, picture, QStringLiteral("time since connect (s)"));
}

// SPDX-License-Identifier: MIT
// The live spectrum history: a separate, non-modal window showing the last 30 s of the board's
// spectrum as a waterfall. It sees every frame the worker decodes through a FrameTap, including
// those the main display skips, and draws only the rows that changed.
#pragma once

#include "historytap.h"
#include "spectrumhistory.h"
#include "waterfall.h"
#include "waterfallpainter.h"

#include <QPointer>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

class SerialPort;

class SpectrumHistoryWindow : public QWidget {
    Q_OBJECT

public:
    // How often the GUI thread takes what the worker has seen: the newest row is on screen
    // within this (plus a paint) of its frame's arrival.
    static constexpr int kDrainIntervalMs = 30;

    // A top-level window even with a parent (the parent only owns it). Not shown yet.
    explicit SpectrumHistoryWindow(QWidget *parent = nullptr);
    // Detaches from the port first.
    ~SpectrumHistoryWindow() override;

    // Receives the frames of `port` from now on (detaching from any earlier one) while the window
    // is open; closing the window detaches, showing it again re-attaches. The port may be
    // destroyed first.
    void attach(SerialPort *port);
    void detach();
    SerialPort *port() const { return attachedPort; }

    // Frozen while paused: frames arriving meanwhile are not kept.
    void setPaused(bool paused);
    bool isPaused() const { return paused; }
    // Whether the window takes frames: while it is shown, not paused and a link is open. It takes
    // them when the tap says that frames wait, at most once in kDrainIntervalMs.
    bool isDraining() const { return draining; }
    // Whether a wake-up is due: only while frames wait. An idle line costs no wake-ups.
    bool isTimerRunning() const { return drainTimer.isActive(); }

    // The tap the port calls; also for feeding frames without a port.
    FrameTap *frameTap() { return &tap; }
    const SpectrumHistory &history() const { return spectra; }
    const Waterfall &waterfall() const { return picture; }
    // Where the waterfall sits in the window.
    QRect plotRect() const { return layout.plot; }
    // Rows drawn since the window was created: the cost of incremental drawing.
    int64_t rowsDrawn() const { return drawnRows; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void drain();
    // Frames wait in the tap: taken now, or when kDrainIntervalMs have passed since the last drain.
    void framesWait();
    void linkChanged(bool open);
    void updateTimer();
    void connectTap();
    void disconnectTap();

    HistoryTap tap;
    SpectrumHistory spectra = SpectrumHistory::live();
    Waterfall picture;
    WaterfallLayout layout;
    QTimer drainTimer;
    QPointer<SerialPort> attachedPort;
    bool tapConnected = false;
    bool linkOpen = false;
    bool paused = false;
    bool draining = false;
    QElapsedTimer sinceDrain;
    int64_t drawnRows = 0;
};

// SPDX-License-Identifier: MIT
// The display's pause: while paused the charts keep the frame they show and the link goes on (a
// recording, the views' analysis and the counts miss nothing); on resume the charts catch up with
// the newest frame that arrived meanwhile. Also keeps the frame on the charts for "Save shown
// frame".
#pragma once

#include "frame.h"
#include "serialport.h"

#include <QObject>

class MainWindow;

class DisplayPause : public QObject {
    Q_OBJECT

public:
    explicit DisplayPause(MainWindow *window);

    void setPaused(bool paused);
    bool isPaused() const { return paused; }
    // Frames that reached the window since the pause began.
    int64_t arrivedWhilePaused() const { return arrived; }
    bool hasShownFrame() const { return shown; }
    // Writes the frame on the charts as csv, with the capture's columns.
    bool saveShownFrame(const QString &path, QString *error) const;

signals:
    void pausedChanged(bool paused);

private:
    bool admit(const frame_t &frame, const FrameIdentity &identity);

    MainWindow *window;
    bool paused = false;
    int64_t arrived = 0;
    bool holding = false; // a frame arrived while paused and waits for the resume
    frame_t heldFrame;
    FrameIdentity heldIdentity;
    bool shown = false;
    frame_t shownFrame;
    FrameIdentity shownIdentity; // its bytes, link, index and time
};

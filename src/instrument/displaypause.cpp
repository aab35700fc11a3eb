// SPDX-License-Identifier: MIT
#include "displaypause.h"

#include "framerecorder.h"
#include "mainwindow.h"

DisplayPause::DisplayPause(MainWindow *window)
    : QObject(window)
    , window(window)
{
    window->setFrameGate([this](const frame_t &frame, const FrameIdentity &identity) {
        return admit(frame, identity);
    });
    connect(window, &MainWindow::signalFrameShown, this,
        [this](const frame_t &frame, const FrameIdentity &identity) {
            shown = true;
            shownFrame = frame;
            shownIdentity = identity;
        });
}

bool DisplayPause::admit(const frame_t &frame, const FrameIdentity &identity)
{
    if (!paused)
        return true;
    ++arrived;
    heldFrame = frame;
    heldIdentity = identity;
    holding = true;
    return false;
}

void DisplayPause::setPaused(bool pause)
{
    if (pause == paused)
        return;
    paused = pause;
    if (paused) {
        arrived = 0;
    } else if (holding) {
        // The charts catch up with the newest frame that arrived meanwhile.
        holding = false;
        window->showFrame(heldFrame, heldIdentity);
    }
    emit pausedChanged(paused);
}

bool DisplayPause::saveShownFrame(const QString &path, QString *error) const
{
    if (!shown) {
        *error = QStringLiteral("no frame is shown yet");
        return false;
    }
    return FrameRecorder::writeOneFrame(
        path, shownFrame, shownIdentity.bytes, shownIdentity.index, shownIdentity.seconds, error);
}

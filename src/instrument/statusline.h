// SPDX-License-Identifier: MIT
// The status bar's account of a link, refreshed a few times a second while a port is connected.
#pragma once

#include "serialport.h"

#include <QString>

#include <deque>

class StatusLine {
public:
    // What the window adds to the link's own figures.
    struct Extras {
        bool paused = false;
        int64_t arrivedWhilePaused = 0;
        QString recordingPath; // empty: not recording
        int64_t recordedFrames = 0;
        QString note; // how the last recording ended, if it did
        QString publishEndpoint; // empty: not publishing
        uint64_t unsentFrames = 0; // frames the publisher could not send
    };

    // "PORT: 11.2 frames/s, 1234 frames, 0 rejected, 0 bytes dropped, 0 skipped by the display",
    // with the frames a publisher read as the port numbered but never delivered, a replay's place
    // in its file, the pause, the recording and the publishing. The rate is taken over the time
    // since the last call for the same link.
    QString describe(const LinkStatus &status, const Extras &extras);
    QString describe(const LinkStatus &status);

private:
    // The link's frame count at the calls of the last four seconds, so that a board sending one
    // frame a second reads 1.0, not 0 and 4 in turn.
    struct Sample {
        double seconds;
        uint64_t frames;
    };
    std::deque<Sample> samples;
    QString link;
};

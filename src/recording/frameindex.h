// SPDX-License-Identifier: MIT
// Where a replay stands in building its index of frames, shared between the replay (which builds it
// a step at a time on the serial worker's thread) and the window's replay bar (which shows the
// progress and moves through the frames once the index is whole). Either side may go first.
#pragma once

#include <QMutex>

#include <vector>

class FrameIndex {
public:
    // How far the index has got, 0 to 100.
    int percent() const;
    bool isReady() const;
    // Every frame's time in the recording; empty until the index is ready.
    std::vector<double> times() const;

    void setPercent(int percent);
    // The index is whole: these are the frames' times.
    void finish(std::vector<double> frameTimes);

private:
    mutable QMutex mutex;
    int done = 0;
    bool ready = false;
    std::vector<double> frameTimes;
};

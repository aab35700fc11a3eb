// SPDX-License-Identifier: MIT
// Hands the worker's frames to the GUI thread for the spectrum history. The worker merges each
// frame into a pending history under a lock (the same slots as the window's history, so a flood
// costs a slot per 59 ms, not a row per frame); the GUI thread drains it when told that frames
// wait, so an idle line costs the GUI thread nothing.
#pragma once

#include "serialport.h"
#include "spectrumhistory.h"

#include <QElapsedTimer>
#include <QMutex>

#include <atomic>
#include <functional>

class HistoryTap : public FrameTap {
public:
    // The pending slots span as much time as the window's history. Frame times are the link's
    // clock, or a replay's file time, which runs far ahead of the wall clock at full speed (26.8 s
    // of a file within one drain): a shorter span would drop frames the window still shows. What
    // the pending slots let go, the window's history would let go as well.
    explicit HistoryTap(int slotCount = SpectrumHistory::kLiveSlots,
        double slotSeconds = SpectrumHistory::kLiveSeconds / SpectrumHistory::kLiveSlots);

    void frameDecoded(
        const frame_t &record, const char *frameBytes, int length, double seconds) override;
    void linkOpened(const LinkOpening &link) override;
    void linkClosed() override;

    // Called on the worker's thread whenever a link opens (true) or ends (false), after the
    // frames of the link that ended: the GUI thread needs to take frames only while a link is
    // open. Set before the tap is handed to a port.
    void setLinkListener(std::function<void(bool open)> listener);

    // Called on the worker's thread for the first frame kept after a drain (not for every frame):
    // the GUI thread has something to take. Set before the tap is handed to a port.
    void setFrameListener(std::function<void()> listener);

    // While paused, frames are not kept.
    void setPaused(bool paused);

    // GUI thread: merges what arrived into `history`, oldest first; clears it first when the link
    // was opened again (its times start at 0). Returns the number of frames merged.
    int64_t drainInto(SpectrumHistory &history);

    // Every frame seen since construction, kept or not.
    int64_t framesSeen() const { return seen.load(std::memory_order_relaxed); }

private:
    QMutex mutex;
    SpectrumHistory pending; // guarded by mutex
    SpectrumHistory draining; // GUI thread only
    bool restartPending = false; // guarded by mutex
    bool listenerTold = false; // guarded by mutex: frames wait that the listener was told of
    QElapsedTimer ownClock; // guarded by mutex
    std::function<void(bool)> linkListener;
    std::function<void()> frameListener;
    std::atomic<bool> paused{false};
    std::atomic<int64_t> seen{0};
};

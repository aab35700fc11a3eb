// SPDX-License-Identifier: MIT
#include "historytap.h"

#include <QMutexLocker>

#include <utility>

HistoryTap::HistoryTap(int slotCount, double slotSeconds)
    : pending(slotCount, slotSeconds, SpectrumHistory::Policy::Slide)
    , draining(slotCount, slotSeconds, SpectrumHistory::Policy::Slide)
{
}

void HistoryTap::frameDecoded(const frame_t &record, const char *, int, double seconds)
{
    seen.fetch_add(1, std::memory_order_relaxed);
    if (paused.load(std::memory_order_relaxed))
        return;
    bool tell = false;
    {
        QMutexLocker locker(&mutex);
        if (seconds <= 0.0) {
            if (!ownClock.isValid())
                ownClock.start();
            seconds = double(ownClock.nsecsElapsed()) * 1e-9;
        }
        pending.add(record, seconds);
        tell = !std::exchange(listenerTold, true);
    }
    if (tell && frameListener)
        frameListener();
}

void HistoryTap::linkOpened(const LinkOpening &)
{
    {
        QMutexLocker locker(&mutex);
        pending.clear();
        listenerTold = false;
        restartPending = true;
        ownClock.start();
    }
    if (linkListener)
        linkListener(true);
}

void HistoryTap::linkClosed()
{
    if (linkListener)
        linkListener(false);
}

void HistoryTap::setLinkListener(std::function<void(bool open)> listener)
{
    linkListener = std::move(listener);
}

void HistoryTap::setFrameListener(std::function<void()> listener)
{
    frameListener = std::move(listener);
}

void HistoryTap::setPaused(bool pause)
{
    paused.store(pause, std::memory_order_relaxed);
    if (pause)
        return;
    // What arrived just before the pause belongs to the frozen picture's time, not to now.
    QMutexLocker locker(&mutex);
    pending.clear();
    listenerTold = false;
}

int64_t HistoryTap::drainInto(SpectrumHistory &history)
{
    bool restart = false;
    {
        QMutexLocker locker(&mutex);
        std::swap(pending, draining);
        std::swap(restart, restartPending);
        listenerTold = false;
    }
    if (restart)
        history.clear();
    const int64_t frames = draining.frameCount();
    if (frames > 0) {
        for (int64_t index = draining.oldestIndex(); index <= draining.newestIndex(); ++index)
            if (const HistorySlot *slot = draining.slotAt(index))
                history.merge(*slot);
    }
    draining.clear();
    return frames;
}

// SPDX-License-Identifier: MIT
// What the benchmarks measure of their own process: processor time, resident memory, a wait that
// keeps the event loop turning, and when the worker decoded a frame.
#pragma once

#include "serialport.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

// Processor time (user and system) of `who` so far, in seconds.
inline double cpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Resident memory now, in MiB; -1 where /proc is missing.
inline double residentMiB()
{
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toDouble() * double(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

// Waits `milliseconds` with the event loop running.
inline void waitInEventLoop(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

// A tap that counts the worker's frames and notes when every 1024th was decoded: a view's newest
// frame then says how long ago it left the worker (to within 1024 frames).
class ClockTap : public FrameTap {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kStride = 1024;
    explicit ClockTap(size_t maxFrames)
        : decoded(maxFrames / kStride + 1, Clock::time_point{})
    {
    }
    void frameDecoded(const frame_t &, const char *, int, double) override
    {
        const int64_t number = frames.load(std::memory_order_relaxed);
        if (number % kStride == 0 && size_t(number / kStride) < decoded.size())
            decoded[size_t(number / kStride)] = Clock::now();
        frames.store(number + 1, std::memory_order_release);
    }
    // When the frame of index `index` (from 0), or one up to kStride before it, was decoded.
    Clock::time_point decodedAt(int64_t index) const
    {
        return decoded[std::min(size_t(index / kStride), decoded.size() - 1)];
    }
    std::atomic<int64_t> frames{0};

private:
    std::vector<Clock::time_point> decoded; // touched up front: not the measured view's memory
};

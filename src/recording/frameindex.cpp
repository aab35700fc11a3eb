// SPDX-License-Identifier: MIT
#include "frameindex.h"

#include <algorithm>

int FrameIndex::percent() const
{
    QMutexLocker lock(&mutex);
    return done;
}

bool FrameIndex::isReady() const
{
    QMutexLocker lock(&mutex);
    return ready;
}

std::vector<double> FrameIndex::times() const
{
    QMutexLocker lock(&mutex);
    return frameTimes;
}

void FrameIndex::setPercent(int percent)
{
    QMutexLocker lock(&mutex);
    done = std::clamp(percent, 0, 100);
}

void FrameIndex::finish(std::vector<double> times)
{
    QMutexLocker lock(&mutex);
    frameTimes = std::move(times);
    done = 100;
    ready = true;
}

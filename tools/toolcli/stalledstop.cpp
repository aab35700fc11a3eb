// SPDX-License-Identifier: MIT
#include "stalledstop.h"

#include "stopsignals.h"

#include <QFile>

#include <chrono>
#include <cstdio>
#include <cstdlib>

StalledStop::StalledStop(const QString &program)
    : programName(program.toLocal8Bit())
    , thread(StopSignals::startThreadWithoutSignals([this] { run(); }))
{
}

StalledStop::~StalledStop()
{
    takeOver();
}

void StalledStop::setOutput(const QString &temporary, const QString &left)
{
    std::lock_guard<std::mutex> lock(mutex);
    temporaryPath = QFile::encodeName(temporary);
    leftNote = left.toLocal8Bit();
}

void StalledStop::takeOver()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        over = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

void StalledStop::run()
{
    constexpr auto kGrace = std::chrono::milliseconds(500);
    std::unique_lock<std::mutex> lock(mutex);
    std::chrono::steady_clock::time_point stopSeen;
    while (!wake.wait_for(lock, std::chrono::milliseconds(50), [this] { return over; })) {
        if (!StopSignals::caught())
            continue;
        const auto now = std::chrono::steady_clock::now();
        if (stopSeen == std::chrono::steady_clock::time_point())
            stopSeen = now;
        if (now - stopSeen < kGrace)
            continue;
        if (!temporaryPath.isEmpty())
            std::remove(temporaryPath.constData());
        std::fprintf(stderr, "%s: stopped; %s\n", programName.constData(), leftNote.constData());
        std::fflush(stderr);
        std::_Exit(StopSignals::stoppedExitStatus());
    }
}

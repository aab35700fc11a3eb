// SPDX-License-Identifier: MIT
#include "radartap.h"

#include "frame.h"
#include "profilefile.h"

#include <QScopeGuard>
#include <QThread>

#include <cmath>
#include <utility>

void RadarTrack::add(double seconds, double value, double levelDb)
{
    const int64_t slot = int64_t(std::floor(std::max(seconds, 0.0) / kSlotSeconds));
    if (slot > newestSlot) {
        // Slots passed over had no frame: gaps.
        for (int64_t k = std::max(newestSlot + 1, slot - kSlots + 1); k <= slot; ++k) {
            values[size_t(k % kSlots)] = std::numeric_limits<float>::quiet_NaN();
            levels[size_t(k % kSlots)] = std::numeric_limits<float>::quiet_NaN();
        }
        newestSlot = slot;
    } else if (slot <= newestSlot - kSlots) {
        return;
    }
    const size_t at = size_t(slot % kSlots);
    if (std::isnan(levels[at]))
        levels[at] = -std::numeric_limits<float>::infinity();
    // The slot keeps the strongest target of its frames.
    if (!std::isnan(value) && !(levels[at] >= levelDb)) {
        values[at] = float(value);
        levels[at] = float(levelDb);
    }
}

float RadarTrack::valueBack(int back) const
{
    if (newestSlot < 0 || back < 0 || back >= kSlots || newestSlot - back < 0)
        return std::numeric_limits<float>::quiet_NaN();
    return values[size_t((newestSlot - back) % kSlots)];
}

bool RadarTrack::frameBack(int back) const
{
    if (newestSlot < 0 || back < 0 || back >= kSlots || newestSlot - back < 0)
        return false;
    return !std::isnan(levels[size_t((newestSlot - back) % kSlots)]);
}

RadarTap::RadarTap() = default;

RadarTap::CallerLock::CallerLock(RadarTap &owner)
    : tap(owner)
{
    tap.callersWaiting.fetch_add(1, std::memory_order_acq_rel);
    tap.mutex.lock();
}

RadarTap::CallerLock::~CallerLock()
{
    tap.mutex.unlock();
    tap.callersWaiting.fetch_sub(1, std::memory_order_acq_rel);
}

void RadarTap::lockAsWorker()
{
    // A caller holds the lock for a copy's time: the worker lets it go first.
    while (callersWaiting.load(std::memory_order_acquire) > 0)
        QThread::yieldCurrentThread();
    mutex.lock();
}

void RadarTap::configure(const RadarProfile &radar, const RadarSettings &options)
{
    CallerLock locker(*this);
    profile = radar;
    settings = options;
    configured = true;
    configChanged = true;
    pendingChange.store(true, std::memory_order_release);
}

void RadarTap::clearConfiguration()
{
    CallerLock locker(*this);
    configured = false;
    configChanged = true;
    pendingChange.store(true, std::memory_order_release);
}

void RadarTap::relearnBackground()
{
    CallerLock locker(*this);
    relearnWanted = true;
    pendingChange.store(true, std::memory_order_release);
}

void RadarTap::resetMaxHold()
{
    CallerLock locker(*this);
    holdResetWanted = true;
    pendingChange.store(true, std::memory_order_release);
}

void RadarTap::frameDecoded(const frame_t &record, const char *, int, double seconds)
{
    seen.fetch_add(1, std::memory_order_relaxed);
    const int64_t frame = linkFrames++;
    if (pendingChange.exchange(false, std::memory_order_acquire)) {
        lockAsWorker();
        const auto unlock = qScopeGuard([this] { mutex.unlock(); });
        if (configChanged)
            analyzer = configured ? std::make_unique<RadarAnalyzer>(profile, settings) : nullptr;
        if (relearnWanted && analyzer)
            analyzer->resetBackground();
        if (holdResetWanted && analyzer)
            analyzer->resetMaxHold();
        configChanged = relearnWanted = holdResetWanted = false;
    }
    if (seconds <= 0.0 && frame > 0) {
        if (!ownClock.isValid())
            ownClock.start();
        seconds = double(ownClock.nsecsElapsed()) * 1e-9;
    }
    {
        lockAsWorker();
        const auto unlock = qScopeGuard([this] { mutex.unlock(); });
        calibrator.add(record, seconds);
    }
    if (!analyzer)
        return;
    analyzer->analyze(record, work);
    const int mode = work.spectrum.mode;
    const RadarTarget *strongest = work.targets.empty() ? nullptr : &work.targets.front();
    const double value = !strongest     ? qQNaN()
        : mode == 0                     ? strongest->speedMps
        : std::isnan(strongest->rangeM) ? strongest->bins
                                        : strongest->rangeM;
    {
        lockAsWorker();
        const auto unlock = qScopeGuard([this] { mutex.unlock(); });
        tracks[mode].add(seconds, value, strongest ? strongest->levelDb : 0.0);
        logLocked(frame, seconds, work);
        Latest &newest = latest[mode];
        std::swap(newest.analysis, work);
        newest.frame = frame;
        newest.seconds = seconds;
        ++newest.sequence;
    }
    if (newsListener && !newsWaiting.exchange(true, std::memory_order_acq_rel))
        newsListener();
}

void RadarTap::logLocked(int64_t frame, double seconds, const RadarAnalysis &analysis)
{
    newestSeconds = std::max(newestSeconds, seconds);
    for (const RadarTarget &target : analysis.targets) {
        if (log.empty())
            log.resize(kLogRows);
        log[logNext] = RadarTargetRow{frame, seconds, analysis.spectrum.mode, target};
        logNext = (logNext + 1) % log.size();
        logCount = std::min(logCount + 1, log.size());
    }
}

void RadarTap::linkOpened(const LinkOpening &link)
{
    linkFrames = 0;
    ownClock.start();
    {
        lockAsWorker();
        const auto unlock = qScopeGuard([this] { mutex.unlock(); });
        tracks[0].clear();
        tracks[1].clear();
        logCount = logNext = 0;
        newestSeconds = 0.0;
        calibrator.reset();
        for (Latest &newest : latest) {
            newest.analysis = RadarAnalysis();
            newest.frame = -1;
            ++newest.sequence;
        }
    }
    if (analyzer)
        analyzer->reset();
    if (followSidecars.load()) {
        RadarProfile beside;
        QString error;
        QString origin;
        // The recording's own profile comes with the link: reading the file here would wait on
        // the file library under the worker's locks.
        const RadarSidecar found
            = loadRadarSidecar(link.name, link.keptRadarProfile, &beside, &error, &origin);
        if (found != RadarSidecar::None) {
            lockAsWorker();
            const auto unlock = qScopeGuard([this] { mutex.unlock(); });
            sidecarPending = true;
            sidecarLoaded = found == RadarSidecar::Loaded;
            sidecarNote = sidecarLoaded ? QStringLiteral("profile from %1").arg(origin) : error;
            if (sidecarLoaded) {
                // In force from the link's first frame, not from when the GUI hears of it.
                profile = beside;
                configured = true;
                configChanged = false;
                analyzer = std::make_unique<RadarAnalyzer>(profile, settings);
            }
        }
    }
    if (linkListener)
        linkListener(true, link.name);
}

void RadarTap::linkClosed()
{
    if (linkListener)
        linkListener(false, QString());
}

void RadarTap::setNewsListener(std::function<void()> listener)
{
    newsListener = std::move(listener);
}

void RadarTap::setLinkListener(std::function<void(bool, const QString &)> listener)
{
    linkListener = std::move(listener);
}

bool RadarTap::takeLatest(int mode, Latest &into)
{
    CallerLock locker(*this);
    Latest &newest = latest[mode & 1];
    if (newest.sequence == into.sequence)
        return false;
    std::swap(newest.analysis, into.analysis);
    into.frame = newest.frame;
    into.seconds = newest.seconds;
    into.sequence = newest.sequence;
    return true;
}

RadarTrack RadarTap::track(int mode)
{
    CallerLock locker(*this);
    return tracks[mode & 1];
}

std::vector<RadarTargetRow> RadarTap::recentTargets(double seconds)
{
    CallerLock locker(*this);
    std::vector<RadarTargetRow> rows;
    rows.reserve(logCount);
    const size_t size = log.size();
    for (size_t k = 0; k < logCount; ++k) {
        const RadarTargetRow &row = log[(logNext + size - logCount + k) % size];
        if (row.seconds >= newestSeconds - seconds)
            rows.push_back(row);
    }
    return rows;
}

IqCalibration RadarTap::calibrateIq(double seconds)
{
    CallerLock locker(*this);
    return calibrator.result(seconds);
}

bool RadarTap::takeSidecar(bool *loaded, RadarProfile *radar, QString *note)
{
    CallerLock locker(*this);
    if (!sidecarPending)
        return false;
    sidecarPending = false;
    *loaded = sidecarLoaded;
    if (sidecarLoaded)
        *radar = profile;
    *note = sidecarNote;
    return true;
}

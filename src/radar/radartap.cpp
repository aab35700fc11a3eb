// SPDX-License-Identifier: MIT
#include "radartap.h"

#include "frame.h"
#include "profilefile.h"

#include <QScopeGuard>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <utility>

void RadarTracking::clear()
{
    const uint64_t trailAt = trailCursor, passAt = passCursor;
    *this = RadarTracking();
    trailCursor = trailAt;
    passCursor = passAt;
}

const TrackState *RadarTracking::track(int id) const
{
    for (const std::vector<TrackState> &mode : tracks)
        for (const TrackState &state : mode)
            if (state.id == id)
                return &state;
    return nullptr;
}

PassSummary summarisePasses(const std::deque<TrackPass> &passes)
{
    PassSummary summary;
    summary.mode = std::any_of(passes.begin(), passes.end(),
                       [](const TrackPass &pass) { return pass.mode == 0; })
        ? 0
        : 1;
    std::vector<double> speeds;
    for (const TrackPass &pass : passes)
        if (pass.mode == summary.mode)
            speeds.push_back(pass.maxSpeedMps);
    summary.count = int64_t(speeds.size());
    if (speeds.empty())
        return summary;
    // Nearest rank: the ceil(0.85 n)-th smallest.
    const size_t rank = size_t(std::ceil(0.85 * double(speeds.size())));
    std::nth_element(speeds.begin(), speeds.begin() + (rank - 1), speeds.end());
    summary.speed85Mps = speeds[rank - 1];
    return summary;
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
    // The processing's settings leave the tracks as they are; another profile starts them anew.
    trackerChanged
        = trackerChanged || !configured || radarProfileJson(radar) != radarProfileJson(profile);
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

void RadarTap::configureTracker(const TrackerSettings &tracking)
{
    CallerLock locker(*this);
    trackerSettings = tracking;
    trackerChanged = true;
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
        if (!analyzer) {
            tracker.reset();
        } else if (tracker && trackerChanged && !configChanged) {
            // New gates and times: the tracks go on under them.
            tracker->setSettings(trackerSettings);
        } else if (trackerChanged || !tracker) {
            tracker = std::make_unique<TargetTracker>(profile, trackerSettings);
            for (std::vector<TrackState> &tracks : liveTracks)
                tracks.clear();
            trailSlots.clear();
        }
        if (relearnWanted && analyzer)
            analyzer->resetBackground();
        if (holdResetWanted && analyzer)
            analyzer->resetMaxHold();
        if (configChanged || vitalsChanged) {
            vitals.reset();
            vitalsRangeOwn = vitalsRange;
        }
        configChanged = relearnWanted = holdResetWanted = trackerChanged = vitalsChanged = false;
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
    const int mode = work.spectrum.mode & 1;
    // A rewound or looped replay: what the tracker knew belongs to the pass before.
    const bool wentBack = tracker->update(seconds, work);
    if (!vitals) {
        const int followed = !std::isnan(vitalsRangeOwn) || mode == 1 ? 1 : 0;
        vitals = std::make_unique<VitalsEstimator>(analyzer->profile(), followed);
        vitals->setRange(vitalsRangeOwn);
    }
    if (mode == 1 && vitals->mode() == 1 && std::isnan(vitalsRangeOwn))
        vitals->followTracks(tracker->tracks(1), record.sample_count);
    const bool vitalsRead = vitals->add(record, seconds, nullptr);
    if (vitalsRead)
        vitals->snapshot(vitalsWork);
    {
        lockAsWorker();
        const auto unlock = qScopeGuard([this] { mutex.unlock(); });
        if (wentBack)
            restartLocked(RadarRestart::TimeWentBack);
        trackLocked(mode, seconds);
        logLocked(frame, seconds, work);
        if (vitalsRead) {
            vitalsWork.sequence = vitalsLatest.sequence + 1;
            std::swap(vitalsLatest, vitalsWork);
        }
        Latest &newest = latest[mode];
        std::swap(newest.analysis, work);
        newest.frame = frame;
        newest.seconds = seconds;
        ++newest.sequence;
    }
    if (newsListener && !newsWaiting.exchange(true, std::memory_order_acq_rel))
        newsListener();
}

void RadarTap::restartLocked(RadarRestart why)
{
    ++generation;
    restart = why;
    logRestart = logTotal;
    trailRestart = trailTotal;
    passRestart = passTotal;
    logCount = logNext = 0;
    newestSeconds = 0.0;
    for (std::vector<TrackState> &tracks : liveTracks)
        tracks.clear();
    // The ring's points and passes before now are skipped by the next take, not erased.
    trailSlots.clear();
    passCount = 0;
    present = false;
    presenceChangedAt = qQNaN();
    if (tracker)
        tracker->takePasses(); // those the restart ended: of the pass before
}

void RadarTap::trackLocked(int mode, double seconds)
{
    // Both modes: a frame of one ends the other's tracks that went without a hit, and ties them.
    liveTracks[0] = tracker->tracks(0);
    liveTracks[1] = tracker->tracks(1);
    const int64_t slot = int64_t(std::floor(std::max(seconds, 0.0) / kTrailSlotSeconds));
    for (const TrackState &state : liveTracks[mode]) {
        if (!state.confirmed || !state.hit)
            continue;
        auto found = std::find_if(trailSlots.begin(), trailSlots.end(),
            [&](const std::pair<int, int64_t> &last) { return last.first == state.id; });
        if (found != trailSlots.end() && found->second == slot)
            continue;
        if (found == trailSlots.end())
            found = trailSlots.insert(trailSlots.end(), {state.id, slot});
        found->second = slot;
        if (trail.empty())
            trail.resize(kTrailPoints);
        trail[trailTotal % trail.size()]
            = RadarTrailPoint{seconds, float(mode ? state.rangeM : state.speedMps), state.id, mode};
        ++trailTotal;
    }
    // Tracks that ended need no slot any more.
    const auto live = [this](int id) {
        for (const std::vector<TrackState> &tracks : liveTracks)
            for (const TrackState &state : tracks)
                if (state.id == id)
                    return true;
        return false;
    };
    trailSlots.erase(std::remove_if(trailSlots.begin(), trailSlots.end(),
                         [&](const std::pair<int, int64_t> &last) { return !live(last.first); }),
        trailSlots.end());
    for (const TrackPass &pass : tracker->takePasses()) {
        if (passes.empty())
            passes.resize(RadarTracking::kPassesKept);
        passes[passTotal % passes.size()] = pass;
        ++passTotal;
        ++passCount;
    }
    present = tracker->present();
    presenceChangedAt = tracker->presenceChangedAt();
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
        ++logTotal;
    }
}

void RadarTap::forgetLinkLocked()
{
    restartLocked(RadarRestart::NewLink);
    calibrator.reset();
    // A view of the last link's estimate is emptied, its sequence going on.
    const int64_t vitalsSequence = vitalsLatest.sequence + 1;
    vitalsLatest = VitalsSnapshot();
    vitalsLatest.sequence = vitalsSequence;
    for (Latest &newest : latest) {
        newest.analysis = RadarAnalysis();
        newest.frame = -1;
        ++newest.sequence;
    }
}

void RadarTap::configureVitals(double rangeM)
{
    CallerLock locker(*this);
    vitalsRange = rangeM;
    vitalsChanged = true;
    pendingChange.store(true, std::memory_order_release);
}

bool RadarTap::takeVitals(VitalsSnapshot &into)
{
    CallerLock locker(*this);
    if (vitalsLatest.sequence == into.sequence)
        return false;
    into = vitalsLatest;
    return true;
}

void RadarTap::forgetLinkOwn()
{
    linkFrames = 0;
    vitals.reset();
    ownClock.start();
    if (analyzer)
        analyzer->reset();
    if (tracker)
        tracker->reset();
}

void RadarTap::linkOpened(const LinkOpening &link)
{
    forgetLinkOwn();
    {
        lockAsWorker();
        const auto unlock = qScopeGuard([this] { mutex.unlock(); });
        forgetLinkLocked();
    }
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
                tracker = std::make_unique<TargetTracker>(profile, trackerSettings);
                trackerChanged = false;
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

void RadarTap::restartForNewLink()
{
    forgetLinkOwn();
    CallerLock locker(*this);
    forgetLinkLocked();
}

bool RadarTap::takeTracking(RadarTracking &into)
{
    CallerLock locker(*this);
    bool changed = false;
    if (into.generation != generation) {
        into.clear();
        into.generation = generation;
        into.restart = restart;
        changed = true;
    }
    for (int mode = 0; mode < 2; ++mode) {
        if (into.tracks[mode].size() != liveTracks[mode].size()
            || !std::equal(liveTracks[mode].begin(), liveTracks[mode].end(),
                into.tracks[mode].begin(), [](const TrackState &a, const TrackState &b) {
                    return a.id == b.id && a.frames == b.frames && a.confirmed == b.confirmed
                        && a.tiedTo == b.tiedTo && a.lastHitSeconds == b.lastHitSeconds;
                })) {
            into.tracks[mode] = liveTracks[mode];
            changed = true;
        }
    }
    into.present = present;
    into.presenceChangedAt = presenceChangedAt;
    into.newestSeconds = newestSeconds;
    into.settings = trackerSettings;
    into.passCount = passCount;
    // Only what came since the last take and since the restart; what the rings overwrote
    // meanwhile is gone.
    const uint64_t firstPoint = std::max({into.trailCursor, trailRestart,
        trailTotal - std::min<uint64_t>(trailTotal, trail.size())});
    for (uint64_t k = firstPoint; k < trailTotal; ++k)
        into.trail.push_back(trail[k % trail.size()]);
    changed = changed || firstPoint < trailTotal;
    into.trailCursor = trailTotal;
    const uint64_t firstPass = std::max(
        {into.passCursor, passRestart, passTotal - std::min<uint64_t>(passTotal, passes.size())});
    for (uint64_t k = firstPass; k < passTotal; ++k)
        into.passes.push_back(passes[k % passes.size()]);
    changed = changed || firstPass < passTotal;
    into.passCursor = passTotal;
    while (into.passes.size() > RadarTracking::kPassesKept)
        into.passes.pop_front();
    while (!into.trail.empty()
        && (into.trail.size() > size_t(kTrailPoints)
            || into.trail.front().seconds < newestSeconds - RadarTracking::kTrailSeconds))
        into.trail.pop_front();
    return changed;
}

int64_t RadarTap::takeTargets(uint64_t *cursor, std::vector<RadarTargetRow> &rows)
{
    CallerLock locker(*this);
    const uint64_t oldest = logTotal - logCount;
    const uint64_t from = std::max(*cursor, logRestart);
    const int64_t lost = from < oldest ? int64_t(oldest - from) : 0;
    const size_t size = log.size();
    for (uint64_t k = std::max(*cursor, oldest); k < logTotal; ++k)
        rows.push_back(log[(logNext + size - size_t(logTotal - k)) % size]);
    *cursor = logTotal;
    return lost;
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

// SPDX-License-Identifier: MIT
#include "targettracker.h"

#include <algorithm>
#include <cmath>

namespace {
// More tracks than this in one mode is noise taking hold; new targets wait until one ends.
constexpr size_t kMaxTracks = 16;

// The value a track follows: speed in CW, range in FMCW, board bins where the axis has no unit.
double valueOf(int mode, const RadarTarget &target)
{
    const double value = mode == 0 ? target.speedMps : target.rangeM;
    return std::isfinite(value) ? value : target.bins;
}
} // namespace

TargetTracker::TargetTracker(const RadarProfile &profile, const TrackerSettings &settings)
    : radar(profile)
{
    setSettings(settings);
}

void TargetTracker::setSettings(const TrackerSettings &settings)
{
    options = settings;
    options.confirmHits = std::max(1, options.confirmHits);
    options.confirmFrames = std::max(options.confirmHits, options.confirmFrames);
}

void TargetTracker::reset()
{
    for (int mode = 0; mode < 2; ++mode) {
        state[mode].clear();
        live[mode].clear();
    }
    ended.clear();
    nextId = 1;
    lastSeconds = qQNaN();
    lastPresentSeconds = qQNaN();
    isPresent = false;
    presenceChange = qQNaN();
    ++resetCount;
}

std::vector<TrackPass> TargetTracker::takePasses()
{
    std::vector<TrackPass> passes;
    passes.swap(ended);
    return passes;
}

bool TargetTracker::update(double seconds, const RadarAnalysis &analysis)
{
    bool restarted = false;
    if (seconds < lastSeconds) {
        // The tracks going end where time turned back; their passes are left for takePasses().
        finish();
        std::vector<TrackPass> passes;
        passes.swap(ended);
        const int numbered = nextId;
        reset();
        // New tracks take new numbers: none is given twice in one stream.
        nextId = numbered;
        ended.swap(passes);
        restarted = true;
    }
    lastSeconds = seconds;
    const int mode = analysis.spectrum.mode & 1;
    if (analysis.spectrum.samples >= 2)
        updateMode(mode, seconds, analysis);
    // A track of either mode ends once it has gone without a hit for long enough, whichever
    // mode's frames go on coming.
    for (int m = 0; m < 2; ++m) {
        std::vector<Track> &tracks = state[m];
        auto gone = std::remove_if(tracks.begin(), tracks.end(), [&](const Track &track) {
            const bool unconfirmable = !track.state.confirmed
                && track.framesSeen >= options.confirmFrames;
            // A tied FMCW track coasts on its CW track's speed for a while.
            const bool coasting = m == 1 && track.state.tiedTo != 0
                && seconds - track.state.lastHitSeconds <= options.tiedCoastSeconds;
            if (coasting
                || (seconds - track.state.lastHitSeconds <= options.dropSeconds
                    && track.misses < options.dropMisses && !unconfirmable))
                return false;
            endTrack(track);
            return true;
        });
        tracks.erase(gone, tracks.end());
    }
    tie();
    for (int m = 0; m < 2; ++m) {
        live[m].clear();
        for (const Track &track : state[m])
            live[m].push_back(track.state);
    }
    updatePresence(seconds);
    return restarted;
}

void TargetTracker::updateMode(int mode, double seconds, const RadarAnalysis &analysis)
{
    std::vector<Track> &tracks = state[mode];
    const double gate = options.gateBins * std::abs(analysis.spectrum.binWidth());
    const std::vector<RadarTarget> &targets = analysis.targets;

    // Every pair within the gate, nearest first: each target and each track is taken once.
    struct Pair {
        double distance;
        size_t track;
        size_t target;
    };
    std::vector<Pair> pairs;
    std::vector<double> predicted(tracks.size());
    const double fastest = mode == 0 ? options.maxAccelerationMps2
        : analysis.spectrum.axis == RadarSpectrum::Axis::Range ? std::abs(radar.maxSpeed())
                                                                : 0.0;
    for (size_t t = 0; t < tracks.size(); ++t) {
        const Track &track = tracks[t];
        const double dt = seconds - track.lastSeconds;
        predicted[t] = track.value + track.rate * dt;
        // A track with one hit has no rate yet: its next may have moved as far as it can.
        const double reach = gate + (track.state.frames == 1 ? fastest * dt : 0.0);
        for (size_t k = 0; k < targets.size(); ++k) {
            const double distance = std::abs(valueOf(mode, targets[k]) - predicted[t]);
            if (distance <= reach)
                pairs.push_back({distance, t, k});
        }
    }
    std::sort(pairs.begin(), pairs.end(),
        [](const Pair &a, const Pair &b) { return a.distance < b.distance; });
    std::vector<char> trackTaken(tracks.size(), 0);
    used.assign(targets.size(), 0);
    for (Track &track : tracks) {
        track.state.hit = false;
        ++track.framesSeen;
        ++track.misses;
    }
    for (const Pair &pair : pairs) {
        if (trackTaken[pair.track] || used[pair.target])
            continue;
        trackTaken[pair.track] = 1;
        used[pair.target] = 1;
        Track &track = tracks[pair.track];
        const RadarTarget &target = targets[pair.target];
        const double measured = valueOf(mode, target);
        const double dt = seconds - track.lastSeconds;
        if (mode == 1 && track.state.frames == 1 && dt > 0.0) {
            // The second hit gives the range rate its first value. A speed's rate (its change)
            // starts from none: a first hit that was noise beside a target would give it one
            // that leads the track away.
            track.rate = (measured - track.value) / dt;
            track.value = measured;
        } else {
            const double residual = measured - predicted[pair.track];
            track.value = predicted[pair.track] + options.alpha * residual;
            if (dt > 0.0)
                track.rate += options.beta * residual / dt;
        }
        track.lastSeconds = seconds;
        track.misses = 0;
        track.measured = measured;
        track.state.hit = true;
        track.state.levelDb = target.levelDb;
        track.state.lastHitSeconds = seconds;
        ++track.state.frames;
        if (!track.state.confirmed && track.state.frames >= options.confirmHits) {
            track.state.confirmed = true;
            track.state.id = nextId++;
        }
    }
    // What no track took starts a tentative one.
    for (size_t k = 0; k < targets.size() && tracks.size() < kMaxTracks; ++k) {
        if (used[k])
            continue;
        Track track;
        track.state.mode = mode;
        track.state.hit = true;
        track.state.levelDb = targets[k].levelDb;
        track.state.firstSeconds = seconds;
        track.state.lastHitSeconds = seconds;
        track.state.frames = 1;
        track.value = valueOf(mode, targets[k]);
        track.measured = track.value;
        track.lastSeconds = seconds;
        track.framesSeen = 1;
        if (options.confirmHits <= 1) {
            track.state.confirmed = true;
            track.state.id = nextId++;
        }
        tracks.push_back(track);
    }
    for (Track &track : tracks) {
        if (mode == 0) {
            track.state.speedMps = track.value;
        } else {
            track.state.speedMps = track.rate;
            track.state.rangeM = track.value;
        }
    }
}

void TargetTracker::tie()
{
    // An FMCW track and a CW track become one target when each is the other's only match: both
    // confirmed and seen of late, the FMCW range rate within a tolerance of the CW speed. A target
    // that does not move is never tied: CW does not see it. Once tied they stay so while both go
    // on and the CW track is seen.
    const auto matches = [&](const Track &cw, const Track &fmcw) {
        const double speed = cw.value;
        const double tolerance = std::max(0.6, 0.35 * std::abs(speed));
        return std::abs(speed) >= options.presenceMinSpeedMps
            && std::abs(fmcw.rate - speed) <= tolerance;
    };
    const auto seen = [&](const Track &track) {
        return track.state.confirmed
            && lastSeconds - track.state.lastHitSeconds <= options.dropSeconds;
    };
    const auto partnerOf = [&](const Track &track) -> Track * {
        for (Track &other : state[1 - track.state.mode])
            if (track.state.tiedTo != 0 && other.state.id == track.state.tiedTo)
                return &other;
        return nullptr;
    };
    for (Track &fmcw : state[1]) {
        Track *cw = partnerOf(fmcw);
        if (!cw || !seen(*cw))
            fmcw.state.tiedTo = 0;
    }
    for (Track &cw : state[0]) {
        Track *fmcw = partnerOf(cw);
        if (!fmcw || fmcw->state.tiedTo != cw.state.id)
            cw.state.tiedTo = 0;
        cw.state.rangeM = qQNaN();
    }
    for (Track &fmcw : state[1]) {
        if (fmcw.state.tiedTo == 0 && seen(fmcw)) {
            Track *only = nullptr;
            int count = 0;
            for (Track &cw : state[0]) {
                if (cw.state.tiedTo == 0 && seen(cw) && matches(cw, fmcw)) {
                    only = &cw;
                    ++count;
                }
            }
            int back = 0;
            for (const Track &other : state[1])
                back += count == 1 && other.state.tiedTo == 0 && seen(other) && matches(*only, other);
            if (count != 1 || back != 1)
                continue;
            fmcw.state.tiedTo = only->state.id;
            only->state.tiedTo = fmcw.state.id;
        }
        Track *cw = partnerOf(fmcw);
        if (!cw)
            continue;
        // The CW speed is the range rate, measured far better than ranges' differences tell it;
        // it carries the range through frames in which the FMCW track has no hit (a walker
        // passing a standing echo at the same range). The beat tone is moved by the Doppler
        // shift: the range reads too far or too near by chirp * v * fc / slope.
        fmcw.rate = cw->value;
        const double shift = radar.hasSweep()
            ? radar.chirp() * cw->value * radar.carrierHz / radar.sweepSlope()
            : 0.0;
        // As it stands at the newest frame's time, which may be the other mode's.
        fmcw.state.rangeM = fmcw.value + fmcw.rate * (lastSeconds - fmcw.lastSeconds) - shift;
        fmcw.state.speedMps = cw->value;
        cw->state.rangeM = fmcw.state.rangeM;
    }
    for (int m = 0; m < 2; ++m) {
        for (Track &track : state[m]) {
            if (!track.state.hit || track.state.lastHitSeconds != lastSeconds)
                continue;
            // The largest speed of a pass is the largest median of three hits in a row: one hit
            // that was noise in the gate, or the filter settling, does not make it. CW hits give
            // their speed as measured; FMCW ones their rate, or the tied CW speed.
            const double speed = m == 0 ? track.measured : track.state.speedMps;
            double *recent = track.recentSpeeds;
            recent[track.state.frames % 3] = std::isfinite(speed) ? speed : 0.0;
            if (track.state.frames >= 3) {
                const double median = std::max(std::min(recent[0], recent[1]),
                    std::min(std::max(recent[0], recent[1]), recent[2]));
                if (std::abs(median) > track.maxSpeed) {
                    track.maxSpeed = std::abs(median);
                    track.maxDirection = median < 0.0 ? -1 : 1;
                }
            }
            if (!track.state.confirmed)
                continue;
            const double range = track.state.rangeM;
            if (std::isfinite(range) && !(range >= track.minRange))
                track.minRange = range;
        }
    }
}

void TargetTracker::endTrack(const Track &track)
{
    if (!track.state.confirmed)
        return;
    TrackPass pass;
    pass.track = track.state.id;
    pass.mode = track.state.mode;
    pass.startSeconds = track.state.firstSeconds;
    pass.endSeconds = track.state.lastHitSeconds;
    pass.frames = track.state.frames;
    pass.maxSpeedMps = track.maxSpeed;
    pass.minRangeM = track.minRange;
    pass.direction = track.maxDirection != 0 ? track.maxDirection : 1;
    ended.push_back(pass);
}

void TargetTracker::finish()
{
    for (int m = 0; m < 2; ++m) {
        for (const Track &track : state[m])
            endTrack(track);
        state[m].clear();
        live[m].clear();
    }
}

void TargetTracker::updatePresence(double seconds)
{
    bool moving = false;
    for (int m = 0; m < 2 && !moving; ++m) {
        for (const TrackState &track : live[m]) {
            if (!track.confirmed || !track.hit)
                continue;
            const double speed = track.speedMps;
            const double range = track.rangeM;
            if (std::isfinite(speed) && std::abs(speed) >= options.presenceMinSpeedMps
                && (!std::isfinite(range)
                    || (range >= options.presenceMinRangeM && range <= options.presenceMaxRangeM))) {
                moving = true;
                break;
            }
        }
    }
    if (moving)
        lastPresentSeconds = seconds;
    const bool now = moving
        || (isPresent && seconds - lastPresentSeconds <= options.presenceHoldSeconds);
    if (now != isPresent) {
        isPresent = now;
        presenceChange = seconds;
    }
}

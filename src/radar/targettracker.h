// SPDX-License-Identifier: MIT
// From each frame's targets to tracks: what moves through the scene, one number per object for as
// long as it is seen. Per modulation (CW: speed; FMCW: range and range rate) each frame's targets
// are gated and associated with the tracks predicted to that frame's time, each track follows its
// own with an alpha-beta filter, is confirmed after M hits in its first N frames and dropped after
// a few frames without one. A confirmed track's life is a pass. On an alternating board a CW track and
// an FMCW track that can only be one another are tied: the CW speed takes the Doppler shift out of
// the FMCW range. Presence is a confirmed track that moves within a range and speed gate, held for
// a while after its last hit. Pure: targets and times in, tracks out; no threads, no Qt objects.
#pragma once

#include "radaranalyzer.h"

#include <QtNumeric>

#include <cstdint>
#include <vector>

struct TrackerSettings {
    // A target belongs to a track when it lies within this many board bins of the track's
    // prediction (bins of speed in CW, of range in FMCW).
    double gateBins = 2.0;
    // Confirmed after `confirmHits` hits within its first `confirmFrames` frames of the mode, else
    // forgotten without a pass.
    int confirmHits = 3;
    int confirmFrames = 5;
    // A track's second hit may lie as far beyond the gate as this rate allows over the time
    // between them: the largest acceleration in CW; in FMCW the largest speed the CW frames can
    // tell (the profile's unambiguous speed).
    double maxAccelerationMps2 = 20.0;
    // A track ends (its pass with it) after this many frames of its mode in a row without a hit,
    // or this long without one (a gap in the frames).
    int dropMisses = 3;
    double dropSeconds = 1.0;
    // An FMCW track tied to a CW track that is still seen goes on without hits this long, its
    // range carried by the CW speed: a target crossing a standing echo's range is one track.
    double tiedCoastSeconds = 3.0;
    // The filter's gains: how far a hit pulls the value, and its rate.
    double alpha = 0.5;
    double beta = 0.15;
    // Presence: a confirmed track at least this fast (either way) and, where its range is known,
    // within [presenceMinRangeM, presenceMaxRangeM]; present until `presenceHoldSeconds` after the
    // last frame that had one.
    double presenceMinSpeedMps = 0.3;
    double presenceMinRangeM = 0.0;
    double presenceMaxRangeM = 1e9;
    double presenceHoldSeconds = 3.0;
};

struct TrackState {
    int id = 0; // 1, 2, ... in the order tracks were started, both modes counted together
    int mode = 0; // 0 CW, 1 FMCW
    bool confirmed = false;
    bool hit = false; // a target of the last frame of its mode was this track's
    // CW: the filtered speed; FMCW: the range rate, or the tied CW track's speed.
    double speedMps = qQNaN();
    // FMCW: the filtered range, the Doppler shift taken out when tied; CW: the tied FMCW track's
    // range, NaN when not tied.
    double rangeM = qQNaN();
    double levelDb = 0.0; // of its last hit
    int tiedTo = 0; // the other mode's track this one is tied to, 0 none
    double firstSeconds = 0.0;
    double lastHitSeconds = 0.0;
    int frames = 0; // frames with a hit
};

// A confirmed track's life, from its first hit to its last.
struct TrackPass {
    int track = 0;
    int mode = 0;
    double startSeconds = 0.0;
    double endSeconds = 0.0;
    int frames = 0;
    double maxSpeedMps = 0.0; // the largest speed, either way (positive)
    double minRangeM = qQNaN(); // NaN where no range was known
    int direction = 0; // -1 approaching, +1 receding (the sign of the speed at the largest)

    const char *directionName() const { return direction < 0 ? "approaching" : "receding"; }
};

class TargetTracker {
public:
    explicit TargetTracker(const RadarProfile &profile, const TrackerSettings &settings = {});

    // One frame's analysis at `seconds`. A time before the last frame's (a rewound or looped
    // replay) starts afresh first and returns true: the tracks going end as finish() ends them
    // (their passes wait for takePasses()), then all else is forgotten as reset() forgets it but
    // the track numbers, which go on rising.
    bool update(double seconds, const RadarAnalysis &analysis);
    // The end of the data: every track ends, its pass too.
    void finish();
    // Forgets every track, pass and presence; track numbers start again from 1.
    void reset();

    // The tracks of `mode` as they stand after the last frame, confirmed or not.
    const std::vector<TrackState> &tracks(int mode) const { return live[mode & 1]; }
    // The passes that ended since the last call, in the order they ended.
    std::vector<TrackPass> takePasses();

    bool present() const { return isPresent; }
    // When presence last changed, in the frames' time; NaN before the first change.
    double presenceChangedAt() const { return presenceChange; }

    // How many times it started afresh (reset() or time going back).
    int64_t resets() const { return resetCount; }
    const TrackerSettings &settings() const { return options; }
    // New gates and times from the next frame on; the tracks, passes and presence go on.
    void setSettings(const TrackerSettings &settings);

private:
    struct Track {
        TrackState state;
        double value = 0.0; // speed (CW) or range as measured (FMCW)
        double rate = 0.0; // per second
        double lastSeconds = 0.0; // the time the filter stands at
        int framesSeen = 0; // frames of its mode since it started
        int misses = 0; // frames of its mode in a row without a hit
        double measured = 0.0; // the last hit's value as the detector gave it
        double recentSpeeds[3] = {}; // the speed at its last three hits, newest at [hits % 3]
        double maxSpeed = 0.0; // the largest median of three hits' speeds
        int maxDirection = 0;
        double minRange = qQNaN();
    };

    void updateMode(int mode, double seconds, const RadarAnalysis &analysis);
    void tie();
    void endTrack(const Track &track);
    void updatePresence(double seconds);

    RadarProfile radar;
    TrackerSettings options;
    std::vector<Track> state[2];
    std::vector<TrackState> live[2];
    std::vector<TrackPass> ended;
    std::vector<char> used;
    int nextId = 1;
    double lastSeconds = qQNaN();
    double lastPresentSeconds = qQNaN();
    bool isPresent = false;
    double presenceChange = qQNaN();
    int64_t resetCount = 0;
};

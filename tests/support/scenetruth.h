// SPDX-License-Identifier: MIT
// Tracking against the simulator's truth: a moving scene played frame by frame through the
// analysis and the tracker, its passes matched to the scene's targets. Shared by the tests, which
// hold the scores to what the tracker promises, and the benchmark, which prints them.
#pragma once

#include "boardmodel.h"
#include "simscene.h"
#include "targettracker.h"

#include <vector>

struct SceneCase {
    SimScene scene;
    SimMode mode = SimMode::Cw;
    int samples = 128;
    double seconds = 0.0; // 0: the scene's duration
    uint32_t seed = 1;
    SimFrontEnd frontEnd;
    TrackerSettings tracking;
};

struct SceneScore {
    int frames = 0;
    int targets = 0; // of the scene, seen by the tracker or not
    // CW passes (FMCW ones on an FMCW-only board) matched to the target in view with the nearest
    // largest speed; passes that match none are false.
    int passes = 0;
    int falsePasses = 0;
    int missedTargets = 0; // targets without a pass
    int numberChanges = 0; // passes beyond the first of each target
    int wrongDirections = 0;
    double worstSpeedErrorBins = 0.0; // a pass's largest speed against its target's
    // FMCW rows of confirmed moving tracks against the nearest target: with the Doppler shift taken out
    // where the track is tied, and as measured.
    double medianRangeErrorBins = 0.0;
    double medianRangeErrorUncorrectedBins = 0.0;
    double tiedRows = 0.0; // the share of those rows whose track was tied
    int trackNumbers[2] = {0, 0}; // confirmed tracks of each mode
    // Presence: when it first came and last went (NaN: never), and how often it changed.
    double presentAt = 0.0;
    double absentAt = 0.0;
    int presenceChanges = 0;
};

SceneScore scoreScene(const SceneCase &sceneCase);
// A scene from its JSON text; an empty scene when it does not parse (said by qWarning).
SimScene sceneFrom(const QByteArray &json);

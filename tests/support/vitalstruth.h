// SPDX-License-Identifier: MIT
// Breathing and heart rates against the simulator's truth: a scene with a person at rest (or none)
// played frame by frame at the line's pace through the vitals estimator, its rows scored against
// the person's own rates and swing. Shared by the tests, which hold the scores to what the
// estimator promises, and the benchmark, which prints them.
#pragma once

#include "boardmodel.h"
#include "simscene.h"

#include <QString>
#include <QtNumeric>

struct VitalsCase {
    SimScene scene; // its first target with breaths_per_min is the person scored
    SimMode mode = SimMode::Cw;
    int followMode = 0; // the mode whose frames are read
    int samples = 128;
    double seconds = 120.0;
    double scoredFromS = 30.0; // rows before this are not scored
    uint32_t seed = 1;
    SimFrontEnd frontEnd;
    double rangeM = qQNaN(); // FMCW: the cell read; NaN: the nearest confirmed track's
};

struct VitalsScore {
    int rows = 0; // scored rows of the mode read
    double rateRows = 0.0; // the share with a breathing rate
    double rateWithin1 = 0.0; // the share with one within 1 a minute of the truth
    double medianRateError = qQNaN(); // per minute, over the rows with a rate
    double heartRows = 0.0;
    double heartWithin5 = 0.0; // the share with a heart rate within 5 a minute of the truth
    double swingMm
        = qQNaN(); // 2 sqrt(2) times the rms displacement about its trend, median of 30 s windows
    double truthSwingMm = qQNaN(); // the same of the person's true range
    double movingRows = 0.0; // the share said to be moving
    double noEchoRows = 0.0; // the share said to have no echo above the noise
    double framesPerSecond = 0.0;
    double medianQuality = qQNaN();
    QString heartUnavailable;
};

VitalsScore scoreVitals(const VitalsCase &vitalsCase);

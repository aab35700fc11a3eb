// SPDX-License-Identifier: MIT
// The analysis against the simulator's truth: a case is a scene played for many frames, its score
// the errors in the board's bins and how often targets were found. Shared by the tests, which hold
// the scores to the accuracy the analysis promises, and the benchmark, which prints them.
#pragma once

#include "radaranalyzer.h"
#include "radarprofile.h"

#include <QString>

struct RadarCase {
    enum class Kind {
        Sweep, // one target, moved across the axis from frame to frame
        Pair, // a target and one 3 bins beside it, 10 dB weaker
        Noise, // no target at all
        Slow, // one target `bins` board bins from zero frequency, approaching and receding by turns
    };
    RadarCase() = default;
    RadarCase(const QString &name, Kind kind, int mode, int samples, bool flipApproaching = false,
        double snrDb = 20.0, int frames = 200, const RadarSettings &settings = {})
        : name(name)
        , kind(kind)
        , mode(mode)
        , samples(samples)
        , flipApproaching(flipApproaching)
        , snrDb(snrDb)
        , frames(frames)
        , settings(settings)
    {
    }

    QString name;
    Kind kind = Kind::Sweep;
    int mode = 0; // 0 CW (speed), 1 FMCW (range)
    int samples = 128;
    bool flipApproaching = false;
    double snrDb = 20.0; // of the (stronger) target in the host's spectrum
    int frames = 200;
    uint32_t seed = 1;
    double bins = 0.0; // Slow: the target's distance from zero frequency
    RadarSettings settings; // the window and the detector
};

struct RadarScore {
    int frames = 0;
    double medianErrorBins = 0.0; // of the strongest target, Sweep and Slow
    double worstErrorBins
        = 0.0; // over the frames that report a target; Slow: every report near zero
    double directionRight = 0.0; // fraction of the frames that report a target, CW Sweep only
    double found = 0.0; // fraction of frames with every target of the scene reported
    double falseTargets = 0.0; // fraction of frames with a target not in the scene
    double wrongDirection = 0.0; // fraction of frames with a speed of the wrong sign near zero
    double medianSnrDb = 0.0; // as reported for the (stronger) target
};

// The example profile that ships with the program.
RadarProfile exampleRadarProfile();
// The level in dB of one digit that gives a tone `snrDb` above the simulator's noise in the
// host's spectrum of n samples.
double levelForSnr(double snrDb, int samples, SpectrumWindow window = SpectrumWindow::Hann);
RadarScore scoreRadarCase(const RadarCase &radarCase);

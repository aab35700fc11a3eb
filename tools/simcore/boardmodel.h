// SPDX-License-Identifier: MIT
// Synthetic radar content: what the board would send for a slowly moving target.
#pragma once

#include "frameencoder.h"
#include "radarprofile.h"
#include "simscene.h"

#include <cstdint>
#include <random>
#include <vector>

enum class SimMode { Cw, Fmcw, Alternate };

// What a real front end adds between the echo and the ADC. All off by default: ideal I/Q.
struct SimFrontEnd {
    // I = A cos(phi), Q = 10^(iqGainDb / 20) A sin(phi + iqPhaseDeg).
    double iqGainDb = 0.0;
    double iqPhaseDeg = 0.0;
    // A steady offset of I and Q from mid-scale, in digits, wandering by up to `dcDriftPerS`
    // digits a second (a slow circle of kDcDriftPeriodS whose steepest slope is that).
    double dcI = 0.0;
    double dcQ = 0.0;
    double dcDriftPerS = 0.0;
    static constexpr double kDcDriftPeriodS = 120.0;
    // Stationary reflectors (their speed is zero): each a tone at zero Doppler in CW, a beat tone
    // at its range in FMCW, with a phase that never moves.
    std::vector<SimTarget> clutter;
    bool ideal() const
    {
        return iqGainDb == 0.0 && iqPhaseDeg == 0.0 && dcI == 0.0 && dcQ == 0.0
            && dcDriftPerS == 0.0 && clutter.empty();
    }
    // The offset at `seconds` after the first frame.
    double offsetI(double seconds) const;
    double offsetQ(double seconds) const;
};

class BoardModel
{
public:
    BoardModel(SimMode mode, int samples, uint32_t seed);

    // The values of frame `index` (0, 1, 2, ...). Calls must come in order: the noise is a stream.
    FrameValues frame(int64_t index);

    // From now on the tones come from these targets seen through `profile`: CW frames carry each
    // target's Doppler tone, FMCW frames its beat tone plus the Doppler shift. No targets: noise.
    void setRadarScene(const RadarProfile &profile, const std::vector<SimTarget> &targets);
    // From now on also the moving targets and the clutter of `scene`, beside the targets above:
    // each target's echo follows its range over time, frame by frame, its tone its radial speed.
    void setScene(const RadarProfile &profile, const SimScene &scene);
    // The targets frame `index` shows: the scene's in view, numbered from 1, then the targets of
    // setRadarScene numbered after them. Clutter is not a target.
    std::vector<SimTargetTruth> truth(int64_t index) const;
    double secondsAt(int64_t index) const { return double(index) * framePeriod; }
    // The time from one frame's start to the next on the board: the line's time for a frame
    // unless set. A moving target's echo turns by its Doppler shift over that time, not over the
    // frame's own samples only, as it does on the board that samples, then sends.
    void setFrontEnd(const SimFrontEnd &frontEnd) { front = frontEnd; }
    const SimFrontEnd &frontEnd() const { return front; }
    void setFramePeriod(double seconds) { framePeriod = seconds; }
    double framePeriodSeconds() const { return framePeriod; }
    static double linePeriod(int samples);

    // The spectrum the board computes from I and Q: Hann-windowed DFT magnitude in dB, clamped to
    // the chart's -35 to 60 dB.
    static std::vector<int32_t> spectrumDb(const std::vector<int16_t> &i, const std::vector<int16_t> &q);

private:
    double gaussian();

    SimMode mode;
    int samples;
    std::mt19937 random;
    bool scene = false;
    RadarProfile radar;
    std::vector<SimTarget> targets;
    SimScene moving;
    double framePeriod;
    SimFrontEnd front;
};

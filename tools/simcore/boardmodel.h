// SPDX-License-Identifier: MIT
// Synthetic radar content: what the board would send for a slowly moving target.
#pragma once

#include "frameencoder.h"

#include <cstdint>
#include <random>

enum class SimMode { Cw, Fmcw, Alternate };

class BoardModel
{
public:
    BoardModel(SimMode mode, int samples, uint32_t seed);

    // The values of frame `index` (0, 1, 2, ...). Calls must come in order: the noise is a stream.
    FrameValues frame(int64_t index);

    // The spectrum the board computes from I and Q: Hann-windowed DFT magnitude in dB, clamped to
    // the chart's -35 to 60 dB.
    static std::vector<int32_t> spectrumDb(const std::vector<int16_t> &i, const std::vector<int16_t> &q);

private:
    double gaussian();

    SimMode mode;
    int samples;
    std::mt19937 random;
};

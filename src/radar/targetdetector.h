// SPDX-License-Identifier: MIT
// Targets in a power spectrum: a CFAR detector picks the peaks that stand above the local noise,
// a window's sidelobes are told from targets, and each peak is placed between cells by a parabola
// through its dB values.
#pragma once

#include <vector>

enum class CfarKind { OrderedStatistic, CellAveraging };

struct DetectorSettings {
    // Ordered-statistic ranks the training cells and takes the one at three quarters: a second
    // target among them does not raise the noise estimate as it does the cell average's.
    CfarKind cfar = CfarKind::OrderedStatistic;
    int guardBins = 2; // each side of the cell under test, in the board's bins
    int trainingBins = 8; // each side, beyond the guard
    double thresholdDb = 14; // above the noise estimate: noise alone passes in 0.2 % of frames
    int maxTargets = 3;
};

struct SpectrumPeak {
    double cell = 0.0; // interpolated position on the spectrum's cells
    double levelDb = 0.0; // interpolated peak level
    double snrDb = 0.0; // above the local noise estimate
};

class TargetDetector {
public:
    explicit TargetDetector(const DetectorSettings &settings = {});

    // `power` and `db` are the same circular spectrum (an FFT's cells in its order), `cellsPerBin`
    // cells to one independent bin; peaks are looked for in the `count` cells from `first` on
    // (wrapping), training cells anywhere. `sidelobes[d]` is the highest response of the window
    // at d cells or more from its peak, relative to the peak (linear power), so that a stronger
    // peak's sidelobes are not reported. Peaks come strongest first, their cell in [first - 0.5,
    // first + count - 0.5). Peaks closer than `blindCells` to cell 0 are not reported (they
    // still tell their own sidelobes from targets), nor do they take a target's place.
    void detect(const std::vector<float> &power, const std::vector<float> &db, int cellsPerBin,
        const std::vector<float> &sidelobes, int first, int count, std::vector<SpectrumPeak> &peaks,
        double blindCells = 0.0);

    // The level a cell must pass to be a target, in dB, for each cell of `power` (a spectrum on
    // its axis, `cellsPerBin` cells to a bin): the noise estimate the detector makes round it
    // times the threshold. `circular` when the ends of `power` meet (a whole CW spectrum); else
    // the training cells beyond an end are taken from the other side of the cell. For drawing:
    // detect() does not use it.
    void thresholdLine(const std::vector<float> &power, int cellsPerBin, bool circular,
        std::vector<float> &thresholdDb) const;

    const DetectorSettings &settings() const { return options; }

private:
    DetectorSettings options;
    double thresholdFactor;
    std::vector<float> training;
    struct Candidate {
        int cell;
        float power;
        float noise;
    };
    std::vector<Candidate> candidates;
    std::vector<Candidate> kept;
};

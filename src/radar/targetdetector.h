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

// One detector serves one thread: it keeps its working space between calls.
class TargetDetector {
public:
    explicit TargetDetector(const DetectorSettings &settings = {});

    // Where peaks are reported, and what is not reported there.
    struct Search {
        // Peaks are reported in the `count` cells from `first` on (wrapping): their cell in
        // [first - 0.5, first + count - 0.5). The whole circle is searched all the same, so that
        // a peak outside still tells its sidelobes and its image inside from targets.
        int first = 0;
        int count = 0;
        // Peaks closer than this to cell 0 are not reported, nor do they take a target's place;
        // the strongest of them is said in `Found::nearZero`.
        double blindCells = 0.0;
        // A peak at the mirror cell (-f) of a stronger one and this far below it or more (linear
        // power ratio) is that peak's image, made by the front end's I/Q imbalance; 0: off.
        double imageBelow = 0.0;
    };
    struct Found {
        int images = 0; // peaks in the reported cells that were images
        bool nearZero = false; // a peak within the blind cells passed the detector
        SpectrumPeak nearZeroPeak;
    };

    // `power` and `db` are the same circular spectrum (an FFT's cells in its order), `cellsPerBin`
    // cells to one independent bin; training cells go round the circle. `sidelobes[d]` is the
    // highest response of the window at d cells or more from its peak, relative to the peak
    // (linear power), so that a stronger peak's sidelobes are not reported. Peaks come strongest
    // first.
    void detect(const std::vector<float> &power, const std::vector<float> &db, double cellsPerBin,
        const std::vector<float> &sidelobes, const Search &search, std::vector<SpectrumPeak> &peaks,
        Found *found = nullptr);

    // The level a cell must pass to be a target, in dB, for the first `length` cells of `circle`
    // (a whole spectrum, its ends meeting, `cellsPerBin` cells to a bin): the noise estimate the
    // detector makes round the cell times the threshold. For drawing: detect() does not use it.
    void thresholdLine(const std::vector<float> &circle, double cellsPerBin, int length,
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
        bool reported; // among the cells asked for
    };
    struct Reach {
        std::vector<int> offsets; // in cells, nearest first
        int count = 0;
    };
    // The reach for a spectrum's length and padding, kept for the next spectrum like it.
    const Reach &reachFor(int length, double cellsPerBin) const;
    mutable Reach reach;
    mutable int reachLength = -1;
    mutable double reachCellsPerBin = 0.0;
    std::vector<Candidate> candidates;
    std::vector<Candidate> kept;
};

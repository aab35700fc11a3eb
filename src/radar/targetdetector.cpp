// SPDX-License-Identifier: MIT
#include "targetdetector.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Every training cell must be independent of the others: one per board bin.
// Fewer than this many training cells give no noise estimate worth a detection.
constexpr int kMinTrainingCells = 4;
// The threshold line finds its ordered statistic among the largest cells up to this many.
constexpr int kMaxKept = 8;
// A peak this close above a stronger peak's sidelobe envelope is taken for the sidelobe.
constexpr float kSidelobeMargin = 4.0f; // 6 dB

// The ordered statistic's rank among `count` cells: three quarters of the way up.
int orderedRank(int count)
{
    return std::max(1, (3 * count + 3) / 4);
}

// For noise alone (exponential power of mean 1), the expected value of the rank-th smallest of
// `count` cells; dividing by it makes the ordered statistic an estimate of the mean noise power.
double orderedMean(int count, int rank)
{
    double sum = 0.0;
    for (int j = count - rank + 1; j <= count; ++j)
        sum += 1.0 / j;
    return sum;
}

} // namespace

TargetDetector::TargetDetector(const DetectorSettings &settings)
    : options(settings)
    , thresholdFactor(std::pow(10.0, settings.thresholdDb / 10.0))
{
}

void TargetDetector::detect(const std::vector<float> &power, const std::vector<float> &db,
    int cellsPerBin, const std::vector<float> &sidelobes, int first, int count,
    std::vector<SpectrumPeak> &peaks, double blindCells)
{
    peaks.clear();
    candidates.clear();
    const int length = int(power.size());
    if (length < 3)
        return;
    // Every cell asked for lies within one turn of the circle either side: `first` is within one
    // turn, and the training cells reach less than half a turn from the cell under test.
    auto wrap = [length](int cell) {
        return size_t(cell < 0 ? cell + length : cell >= length ? cell - length : cell);
    };
    const int stride = std::max(cellsPerBin, 1);
    const int guard = std::max(options.guardBins, 0);
    // Training cells go round the circle, but never so far that they meet the cell under test.
    const int farthest
        = std::min(guard + std::max(options.trainingBins, 1), (length / stride - 1) / 2);
    // Cells are named from `first` on as they come, which may be below zero or past the end.
    for (int step = 0; step < std::min(count, length); ++step) {
        const int cell = first + step;
        const float here = power[wrap(cell)];
        if (!(here > power[wrap(cell - 1)] && here >= power[wrap(cell + 1)]))
            continue;
        const int cells = 2 * std::max(farthest - guard, 0);
        training.resize(size_t(cells));
        for (int bins = guard + 1, k = 0; bins <= farthest; ++bins, k += 2) {
            training[size_t(k)] = power[wrap(cell - bins * stride)];
            training[size_t(k + 1)] = power[wrap(cell + bins * stride)];
        }
        if (cells < kMinTrainingCells)
            continue;
        double noise = 0.0;
        if (options.cfar == CfarKind::OrderedStatistic) {
            const int rank = orderedRank(cells);
            const double scale = orderedMean(cells, rank);
            // The cell passes when the rank-th smallest training cell lies below its power over
            // the threshold, that is when at least `rank` cells do: a count, not a sort, for the
            // many peaks of the noise.
            const float below = float(here * scale / thresholdFactor);
            int under = 0;
            for (float value : training)
                under += value < below ? 1 : 0;
            if (under < rank)
                continue;
            std::nth_element(training.begin(), training.begin() + (rank - 1), training.end());
            noise = training[size_t(rank - 1)] / scale;
        } else {
            for (float value : training)
                noise += value;
            noise /= cells;
        }
        if (here > thresholdFactor * noise)
            candidates.push_back({cell, here, float(noise)});
    }

    std::sort(candidates.begin(), candidates.end(),
        [](const Candidate &a, const Candidate &b) { return a.power > b.power; });
    kept.clear();
    for (const Candidate &candidate : candidates) {
        if (int(peaks.size()) >= options.maxTargets)
            break;
        bool sidelobe = false;
        for (const Candidate &stronger : kept) {
            int distance = std::abs(candidate.cell - stronger.cell) % length;
            distance = std::min(distance, length - distance);
            const float envelope
                = size_t(distance) < sidelobes.size() ? sidelobes[size_t(distance)] : 0.0f;
            if (candidate.power < stronger.power * envelope * kSidelobeMargin) {
                sidelobe = true;
                break;
            }
        }
        if (sidelobe)
            continue;
        kept.push_back(candidate);
        // A parabola through the peak's dB and its neighbours' places it between cells.
        const double left = db[wrap(candidate.cell - 1)], middle = db[wrap(candidate.cell)],
                     right = db[wrap(candidate.cell + 1)];
        const double curvature = left - 2.0 * middle + right;
        double delta = curvature < 0.0 ? 0.5 * (left - right) / curvature : 0.0;
        delta = std::clamp(delta, -0.5, 0.5);
        if (std::abs(candidate.cell + delta) < blindCells)
            continue;
        SpectrumPeak peak;
        peak.cell = candidate.cell + delta;
        peak.levelDb = middle - 0.25 * (left - right) * delta;
        peak.snrDb = peak.levelDb - 10.0 * std::log10(std::max(double(candidate.noise), 1e-30));
        peaks.push_back(peak);
    }
}

void TargetDetector::thresholdLine(const std::vector<float> &power, int cellsPerBin, bool circular,
    std::vector<float> &thresholdDb) const
{
    const int length = int(power.size());
    thresholdDb.assign(size_t(length), std::numeric_limits<float>::quiet_NaN());
    const int stride = std::max(cellsPerBin, 1);
    const int guard = std::max(options.guardBins, 0);
    const int farthest
        = std::min(guard + std::max(options.trainingBins, 1), (length / stride - 1) / 2);
    const int cells = 2 * std::max(farthest - guard, 0);
    if (cells < kMinTrainingCells)
        return;
    auto at = [&](int cell, int offset) {
        int index = cell + offset;
        if (index < 0 || index >= length)
            index = circular ? (index + length) % length : cell - offset;
        return power[size_t(std::clamp(index, 0, length - 1))];
    };
    std::vector<float> cellsAround(static_cast<size_t>(cells));
    const int rank = orderedRank(cells);
    const double scale = orderedMean(cells, rank);
    const int reach = farthest * stride;
    for (int cell = 0; cell < length; ++cell) {
        if (cell >= reach && cell + reach < length) {
            // Away from the ends (most cells): no wrapping to look after.
            const float *centre = power.data() + cell;
            for (int bins = guard + 1, k = 0; bins <= farthest; ++bins, k += 2) {
                cellsAround[size_t(k)] = centre[-bins * stride];
                cellsAround[size_t(k + 1)] = centre[bins * stride];
            }
        } else {
            for (int bins = guard + 1, k = 0; bins <= farthest; ++bins, k += 2) {
                cellsAround[size_t(k)] = at(cell, -bins * stride);
                cellsAround[size_t(k + 1)] = at(cell, bins * stride);
            }
        }
        double noise = 0.0;
        if (options.cfar == CfarKind::OrderedStatistic && cells - rank < kMaxKept) {
            // The rank-th smallest is the (cells - rank + 1)-th largest: the few largest are kept
            // in order as the cells go by, at a fraction of a full selection's cost.
            const int keep = cells - rank + 1;
            float largest[kMaxKept];
            int kept = 0;
            for (float value : cellsAround) {
                if (kept == keep && !(value > largest[keep - 1]))
                    continue;
                int slot = kept < keep ? kept++ : keep - 1;
                for (; slot > 0 && largest[slot - 1] < value; --slot)
                    largest[slot] = largest[slot - 1];
                largest[slot] = value;
            }
            noise = largest[keep - 1] / scale;
        } else if (options.cfar == CfarKind::OrderedStatistic) {
            std::nth_element(
                cellsAround.begin(), cellsAround.begin() + (rank - 1), cellsAround.end());
            noise = cellsAround[size_t(rank - 1)] / scale;
        } else {
            for (float value : cellsAround)
                noise += value;
            noise /= cells;
        }
        thresholdDb[size_t(cell)]
            = float(10.0 * std::log10(std::max(noise * thresholdFactor, 1e-12)));
    }
}

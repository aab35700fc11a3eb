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

// The training cells' distances from the cell under test: one per board bin beyond the guard,
// rounded to the nearest cell (a padding that is not a whole number of cells per bin keeps each
// bin where it is), never so far that they meet round the circle.
const TargetDetector::Reach &TargetDetector::reachFor(int length, double cellsPerBin) const
{
    if (length == reachLength && cellsPerBin == reachCellsPerBin)
        return reach;
    reachLength = length;
    reachCellsPerBin = cellsPerBin;
    reach = Reach();
    const double stride = std::max(cellsPerBin, 1.0);
    const int guard = std::max(options.guardBins, 0);
    const int farthest
        = std::min(guard + std::max(options.trainingBins, 1), int((length / stride - 1.0) / 2.0));
    for (int bins = guard + 1; bins <= farthest; ++bins)
        reach.offsets.push_back(int(std::lround(bins * stride)));
    reach.count = int(reach.offsets.size());
    return reach;
}

TargetDetector::TargetDetector(const DetectorSettings &settings)
    : options(settings)
    , thresholdFactor(std::pow(10.0, settings.thresholdDb / 10.0))
{
}

void TargetDetector::detect(const std::vector<float> &power, const std::vector<float> &db,
    double cellsPerBin, const std::vector<float> &sidelobes, const Search &search,
    std::vector<SpectrumPeak> &peaks, Found *found)
{
    peaks.clear();
    candidates.clear();
    if (found)
        *found = Found();
    const int length = int(power.size());
    if (length < 3)
        return;
    // Cells are named from `first` on, which may lie a turn below zero; the training cells and
    // the neighbours reach less than half a turn beyond a cell already on the circle.
    auto onCircle = [length](int cell) { return ((cell % length) + length) % length; };
    auto near = [length](int cell) {
        return size_t(cell < 0 ? cell + length : cell >= length ? cell - length : cell);
    };
    auto wrap = [&](int cell) { return size_t(onCircle(cell)); };
    const Reach &reach = reachFor(length, cellsPerBin);
    const int cells = 2 * reach.count;
    if (cells < kMinTrainingCells)
        return;
    training.resize(size_t(cells));
    const int rank = orderedRank(cells);
    const double scale = orderedMean(cells, rank);
    // Cells are named from `first` on as they come, which may be below zero or past the end;
    // the whole circle is looked at, the first `count` cells reported.
    for (int step = 0; step < length; ++step) {
        const int cell = search.first + step;
        const int at = onCircle(cell);
        const float here = power[size_t(at)];
        if (!(here > power[near(at - 1)] && here >= power[near(at + 1)]))
            continue;
        for (int k = 0; k < reach.count; ++k) {
            training[size_t(2 * k)] = power[near(at - reach.offsets[size_t(k)])];
            training[size_t(2 * k + 1)] = power[near(at + reach.offsets[size_t(k)])];
        }
        double noise = 0.0;
        if (options.cfar == CfarKind::OrderedStatistic) {
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
            candidates.push_back({cell, here, float(noise), step < search.count});
    }

    std::sort(candidates.begin(), candidates.end(),
        [](const Candidate &a, const Candidate &b) { return a.power > b.power; });
    kept.clear();
    // An image lies at the mirror cell of its tone, give or take a bin where its lobe meets the tone.
    const int mirrorTolerance = std::max(1, int(std::lround(cellsPerBin)));
    for (const Candidate &candidate : candidates) {
        if (int(peaks.size()) >= options.maxTargets)
            break;
        bool sidelobe = false, image = false;
        for (const Candidate &stronger : kept) {
            int distance = std::abs(candidate.cell - stronger.cell) % length;
            distance = std::min(distance, length - distance);
            const float envelope
                = size_t(distance) < sidelobes.size() ? sidelobes[size_t(distance)] : 0.0f;
            if (candidate.power < stronger.power * envelope * kSidelobeMargin) {
                sidelobe = true;
                break;
            }
            int mirror = std::abs(candidate.cell + stronger.cell) % length;
            mirror = std::min(mirror, length - mirror);
            if (mirror <= mirrorTolerance && candidate.power <= stronger.power * search.imageBelow)
                image = true;
        }
        if (sidelobe)
            continue;
        if (image) {
            if (found && candidate.reported)
                ++found->images;
            continue;
        }
        kept.push_back(candidate);
        if (!candidate.reported)
            continue;
        // A parabola through the peak's dB and its neighbours' places it between cells.
        const double left = db[wrap(candidate.cell - 1)], middle = db[wrap(candidate.cell)],
                     right = db[wrap(candidate.cell + 1)];
        const double curvature = left - 2.0 * middle + right;
        double delta = curvature < 0.0 ? 0.5 * (left - right) / curvature : 0.0;
        delta = std::clamp(delta, -0.5, 0.5);
        SpectrumPeak peak;
        peak.cell = candidate.cell + delta;
        peak.levelDb = middle - 0.25 * (left - right) * delta;
        peak.snrDb = peak.levelDb - 10.0 * std::log10(std::max(double(candidate.noise), 1e-30));
        if (std::abs(peak.cell) < search.blindCells) {
            if (found && !found->nearZero) {
                found->nearZero = true;
                found->nearZeroPeak = peak;
            }
            continue;
        }
        peaks.push_back(peak);
    }
}

void TargetDetector::thresholdLine(const std::vector<float> &circle, double cellsPerBin,
    int length, std::vector<float> &thresholdDb) const
{
    const int size = int(circle.size());
    length = std::clamp(length, 0, size);
    thresholdDb.assign(size_t(length), std::numeric_limits<float>::quiet_NaN());
    const Reach &reach = reachFor(size, cellsPerBin);
    const int cells = 2 * reach.count;
    if (cells < kMinTrainingCells)
        return;
    std::vector<float> cellsAround(static_cast<size_t>(cells));
    const int rank = orderedRank(cells);
    const double scale = orderedMean(cells, rank);
    const int farthest = reach.count > 0 ? reach.offsets.back() : 0;
    for (int cell = 0; cell < length; ++cell) {
        if (cell >= farthest && cell + farthest < size) {
            // Away from the ends (most cells): no wrapping to look after.
            const float *centre = circle.data() + cell;
            for (int k = 0; k < reach.count; ++k) {
                cellsAround[size_t(2 * k)] = centre[-reach.offsets[size_t(k)]];
                cellsAround[size_t(2 * k + 1)] = centre[reach.offsets[size_t(k)]];
            }
        } else {
            for (int k = 0; k < reach.count; ++k) {
                const int offset = reach.offsets[size_t(k)];
                cellsAround[size_t(2 * k)] = circle[size_t((cell - offset + size) % size)];
                cellsAround[size_t(2 * k + 1)] = circle[size_t((cell + offset) % size)];
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

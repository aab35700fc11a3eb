// SPDX-License-Identifier: MIT
#include "radaranalyzer.h"

#include "frame.h"

#include <kiss_fft.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
// A tone's response at zero frequency above this (linear power, -15 dB) relative to its peak
// leaves too much of it in the mean of the few frames an offset has been learnt from.
constexpr float kBlindResponse = 0.0316f;
// Within the half-power width of the main lobe, what is left at zero frequency makes the peak.
constexpr float kSettledBlindResponse = 0.5f;
// The ADC's rails: a sample on one was clipped.
constexpr int kAdcLowest = 0;
constexpr int kAdcHighest = 4095;
// The standing tone fitted beside the offset lies this far from zero, in board bins.
constexpr double kFitNearestBins = 0.3;
constexpr double kFitFarthestBins = 2.5;
constexpr int kFitPasses = 2;
// The standing tones are looked for afresh this often, in frames of a mode.
constexpr int kFitSearchFrames = 8;
constexpr double kFitResolutionCells = 0.03;

} // namespace

// Both ends sit one step outside the samples, so that no sample is weighted zero and even n = 2
// keeps its energy.
double windowWeight(SpectrumWindow window, int k, int n)
{
    const double x = 2.0 * kPi * double(k + 1) / double(n + 1);
    switch (window) {
    case SpectrumWindow::Hann:
        return 0.5 - 0.5 * std::cos(x);
    case SpectrumWindow::BlackmanHarris:
        return 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2.0 * x)
            - 0.01168 * std::cos(3.0 * x);
    case SpectrumWindow::None:
        break;
    }
    return 1.0;
}

int mainLobeBins(SpectrumWindow window)
{
    switch (window) {
    case SpectrumWindow::Hann:
        return 2;
    case SpectrumWindow::BlackmanHarris:
        return 4;
    case SpectrumWindow::None:
        break;
    }
    return 1;
}

bool spectrumWindowFromName(const QString &name, SpectrumWindow *window)
{
    if (name == QLatin1String("hann"))
        *window = SpectrumWindow::Hann;
    else if (name == QLatin1String("blackman-harris"))
        *window = SpectrumWindow::BlackmanHarris;
    else if (name == QLatin1String("none"))
        *window = SpectrumWindow::None;
    else
        return false;
    return true;
}

namespace {

// The window's main lobe must stay out of the noise estimate: its half-width in bins is the
// least guard.
DetectorSettings withGuardFor(const RadarSettings &settings)
{
    DetectorSettings detector = settings.detector;
    detector.guardBins = std::max(detector.guardBins, mainLobeBins(settings.window));
    return detector;
}

} // namespace

const char *RadarTarget::direction() const
{
    if (std::isnan(speedMps))
        return "";
    return speedMps < 0.0 ? "approaching" : "receding";
}

// What one frame length needs, made once: the FFT's twiddles, the window and its sidelobes.
struct RadarAnalyzer::Plan {
    int samples = 0;
    int padded = 0;
    kiss_fft_cfg fft = nullptr;
    std::vector<float> window;
    double windowSum = 0.0;
    std::vector<float> sidelobes; // by distance in cells, relative to the peak
    int blindCells = 0; // either side of zero frequency: no target reported there
    int settledBlindCells = 0; // the same once the offset is learnt
    std::vector<kiss_fft_cpx> in, out;
    std::vector<kiss_fft_cpx> windowSpectrum; // the window's own padded FFT

    ~Plan() { kiss_fft_free(fft); }
};

RadarAnalyzer::RadarAnalyzer(const RadarProfile &profile, const RadarSettings &settings)
    : radar(profile)
    , options(settings)
    , detector(withGuardFor(settings))
{
}

RadarAnalyzer::~RadarAnalyzer() = default;

int RadarAnalyzer::paddedLength(int samples)
{
    int length = 1;
    while (length < 4 * samples)
        length *= 2;
    return length;
}

double RadarAnalyzer::blindBins(SpectrumWindow window, int samples, bool settled)
{
    if (samples < 2)
        return 0.0;
    RadarSettings settings;
    settings.window = window;
    RadarAnalyzer analyzer(RadarProfile(), settings);
    const Plan &plan = analyzer.planFor(samples);
    return double(settled ? plan.settledBlindCells : plan.blindCells) * samples / plan.padded;
}

void RadarAnalyzer::reset()
{
    for (ModeState &state : states)
        state = ModeState();
}

void RadarAnalyzer::resetBackground()
{
    for (ModeState &state : states) {
        state.background.clear();
        state.backgroundFrames = 0;
    }
}

void RadarAnalyzer::resetMaxHold()
{
    for (ModeState &state : states)
        state.held.clear();
}

RadarAnalyzer::Plan &RadarAnalyzer::planFor(int samples)
{
    for (const auto &plan : plans) {
        if (plan->samples == samples)
            return *plan;
    }
    auto plan = std::make_unique<Plan>();
    plan->samples = samples;
    plan->padded = paddedLength(samples);
    const int m = plan->padded;
    plan->fft = kiss_fft_alloc(m, 0, nullptr, nullptr);
    plan->in.assign(size_t(m), kiss_fft_cpx{0.0f, 0.0f});
    plan->out.assign(size_t(m), kiss_fft_cpx{0.0f, 0.0f});
    plan->window.resize(size_t(samples));
    for (int k = 0; k < samples; ++k) {
        plan->window[size_t(k)] = float(windowWeight(options.window, k, samples));
        plan->windowSum += plan->window[size_t(k)];
        plan->in[size_t(k)] = kiss_fft_cpx{plan->window[size_t(k)], 0.0f};
    }
    // The window's own response tells a stronger peak's sidelobes from a target of their own:
    // the highest response at each distance or beyond.
    kiss_fft(plan->fft, plan->in.data(), plan->out.data());
    plan->windowSpectrum = plan->out;
    const double peak = plan->windowSum * plan->windowSum;
    std::vector<float> response(size_t(m / 2 + 1));
    for (int d = 0; d <= m / 2; ++d) {
        const kiss_fft_cpx a = plan->out[size_t(d)], b = plan->out[size_t((m - d) % m)];
        response[size_t(d)] = float(std::max(a.r * a.r + a.i * a.i, b.r * b.r + b.i * b.i) / peak);
    }
    // A tone's mean over the frame is the window's response at its frequency (relative to the
    // peak's); within 15 dB of the peak, taking the offset out distorts the tone.
    while (plan->blindCells < m / 2 && response[size_t(plan->blindCells)] >= kBlindResponse)
        ++plan->blindCells;
    while (plan->settledBlindCells < m / 2
        && response[size_t(plan->settledBlindCells)] >= kSettledBlindResponse)
        ++plan->settledBlindCells;
    plan->sidelobes.assign(response.size(), 0.0f);
    float highest = 0.0f;
    for (int d = m / 2; d >= 0; --d) {
        highest = std::max(highest, response[size_t(d)]);
        plan->sidelobes[size_t(d)] = highest;
    }
    plans.push_back(std::move(plan));
    return *plans.back();
}

// The offset at zero frequency in what stands still. Its plain mean would take part of every
// standing echo with it: of a far one its leakage (1 / (pi d) of it at d bins), of one within a
// bin or two of zero most of it, and taking that out pushes what is left of the echo away from
// zero. So the offset is fitted, weighted by the window (whose leakage from far echoes is tiny),
// beside the standing tones near zero that explain most of what stands still, found one by one
// and then fitted again each beside the others; nearer than kFitNearestBins a tone is the offset
// (the antenna's leakage is one).
std::complex<double> RadarAnalyzer::offsetIn(Plan &plan, ModeState &state)
{
    const std::vector<std::complex<double>> &standing = state.standing;
    const int n = plan.samples;
    const int m = plan.padded;
    const double w0 = plan.windowSum;
    const double cellsPerBin = double(m) / n;
    const int nearest = int(std::ceil(kFitNearestBins * cellsPerBin));
    // Short frames have few cells: the search stays within the first half of the circle.
    const int farthest = std::min(int(std::floor(kFitFarthestBins * cellsPerBin)), m / 2 - 1);
    ModeState::StandingTone *tones = state.tones;
    int found = 0;
    std::complex<double> offset;
    // What stands still less the tones other than `skip`: fitted with the offset beside one tone.
    auto residual = [&](int skip) {
        fitted.assign(standing.begin(), standing.end());
        for (int t = 0; t < found; ++t) {
            if (t == skip)
                continue;
            const std::complex<double> turn = std::polar(1.0, 2.0 * kPi * tones[t].cell / m);
            std::complex<double> tone = tones[t].amplitude;
            for (int k = 0; k < n; ++k) {
                fitted[size_t(k)] -= tone;
                tone *= turn;
            }
        }
    };
    // The offset and the tone at `cell` that fit `fitted` best; false when they cannot be told.
    auto fitAt = [&](double cell, std::complex<double> *constant, std::complex<double> *amplitude) {
        const std::complex<double> turn = std::polar(1.0, 2.0 * kPi * cell / m);
        std::complex<double> tone(1.0, 0.0), p, sumE, sumQ;
        for (int k = 0; k < n; ++k) {
            const double w = plan.window[size_t(k)];
            p += w * fitted[size_t(k)];
            sumE += w * tone;
            sumQ += w * std::conj(tone) * fitted[size_t(k)];
            tone *= turn;
        }
        const double det = w0 * w0 - std::norm(sumE);
        if (det <= 1e-9 * w0 * w0)
            return false;
        *constant = (w0 * p - sumE * sumQ) / det;
        *amplitude = (w0 * sumQ - std::conj(sumE) * p) / det;
        return true;
    };
    // The strongest tone in `fitted` beside the offset, on the cells and then between them.
    auto strongest = [&](double *cell) {
        std::complex<double> p;
        for (int k = 0; k < n; ++k) {
            const double w = plan.window[size_t(k)];
            p += w * fitted[size_t(k)];
            plan.in[size_t(k)] = {float(w * fitted[size_t(k)].real()), float(w * fitted[size_t(k)].imag())};
        }
        std::fill(plan.in.begin() + n, plan.in.end(), kiss_fft_cpx{0.0f, 0.0f});
        kiss_fft(plan.fft, plan.in.data(), plan.out.data());
        // At cell j: q = sum w x e^(-i 2 pi j k / m) and the window's own sum E of the tone; the
        // tone explains |q - conj(E) p / w0|^2 / (w0 - |E|^2 / w0) beyond the offset alone.
        auto explained = [&](int j) {
            const size_t cell = size_t(((j % m) + m) % m);
            const kiss_fft_cpx x = plan.out[cell];
            const kiss_fft_cpx wf = plan.windowSpectrum[cell];
            const std::complex<double> q(x.r, x.i), e(wf.r, -wf.i);
            const double rest = w0 - std::norm(e) / w0;
            return rest > 1e-9 * w0 ? std::norm(q - std::conj(e) * p / w0) / rest : 0.0;
        };
        int best = 0;
        double most = 0.0;
        for (int j = nearest; j <= farthest; ++j) {
            for (int signed_ : {j, -j}) {
                const double value = explained(signed_);
                if (value > most) {
                    most = value;
                    best = signed_;
                }
            }
        }
        if (best == 0)
            return false;
        // Between cells by halving steps, on the sums at each frequency itself.
        auto explainedAt = [&](double at) {
            const std::complex<double> turn = std::polar(1.0, 2.0 * kPi * at / m);
            std::complex<double> tone(1.0, 0.0), e, q;
            for (int k = 0; k < n; ++k) {
                const double w = plan.window[size_t(k)];
                e += w * tone;
                q += w * std::conj(tone) * fitted[size_t(k)];
                tone *= turn;
            }
            const double rest = w0 - std::norm(e) / w0;
            return rest > 1e-9 * w0 ? std::norm(q - std::conj(e) * p / w0) / rest : 0.0;
        };
        double at = best;
        for (double step = 0.5; step > kFitResolutionCells; step /= 2.0) {
            const double below = explainedAt(at - step), above = explainedAt(at + step);
            if (below > most && below >= above) {
                most = below;
                at -= step;
            } else if (above > most) {
                most = above;
                at += step;
            }
        }
        *cell = at;
        return true;
    };
    // Without a standing tone near zero: the mean weighted by the window.
    std::complex<double> mean;
    for (int k = 0; k < n; ++k)
        mean += double(plan.window[size_t(k)]) * standing[size_t(k)];
    offset = mean / w0;
    // What stands still changes little from one frame to the next: the tones are looked for
    // afresh every kFitSearchFrames frames, and between those only fitted again where they were.
    if (state.tonesFound >= 0 && state.framesSinceSearch < kFitSearchFrames) {
        ++state.framesSinceSearch;
        found = state.tonesFound;
        for (int t = 0; t < found; ++t) {
            residual(t);
            fitAt(tones[t].cell, &offset, &tones[t].amplitude);
        }
        return offset;
    }
    state.framesSinceSearch = 0;
    for (; found < kStandingTones; ++found) {
        residual(found);
        ModeState::StandingTone &tone = tones[found];
        if (!strongest(&tone.cell) || !fitAt(tone.cell, &offset, &tone.amplitude))
            break;
    }
    // Each tone looked for again beside the others: found first, it was placed with them still
    // in what stands still.
    for (int pass = 0; pass < kFitPasses && found > 1; ++pass) {
        for (int t = 0; t < found; ++t) {
            residual(t);
            double cell = tones[t].cell;
            if (strongest(&cell))
                tones[t].cell = cell;
            fitAt(tones[t].cell, &offset, &tones[t].amplitude);
        }
    }
    state.tonesFound = found;
    return offset;
}

RadarAnalysis RadarAnalyzer::analyze(const frame_t &frame)
{
    RadarAnalysis analysis;
    analyze(frame, analysis);
    return analysis;
}

void RadarAnalyzer::analyze(const frame_t &frame, RadarAnalysis &into)
{
    into.targets.clear();
    into.clipped = into.belowFloor = into.offsetSettled = false;
    into.images = 0;
    RadarSpectrum &out = into.spectrum;
    out.mode = frame.modulation ? 1 : 0;
    out.samples = std::max(0, frame.sample_count);
    const int n = std::min({out.samples, int(frame.i_samples.size()), int(frame.q_samples.size())});
    if (n < 2) {
        out.db.clear();
        out.power.clear();
        out.ring.clear();
        out.start = out.step = 0.0;
        out.cellsPerBin = 1;
        out.axis = out.mode ? RadarSpectrum::Axis::Range : RadarSpectrum::Axis::Speed;
        return;
    }
    Plan &plan = planFor(n);
    const int m = plan.padded;
    ModeState &state = states[out.mode];
    if (state.samples != n) {
        state = ModeState();
        state.samples = n;
    }

    // The front end's imbalance undone first (Q's gain and its phase off quadrature), so that
    // a tone at f leaves no image at -f; then the offset learnt over frames taken out.
    const double gain = std::pow(10.0, radar.iqGainDb / 20.0);
    const double skew = radar.iqPhaseDeg * kPi / 180.0;
    const double qScale = 1.0 / (gain * std::cos(skew)), qFromI = -std::tan(skew);
    corrected.resize(size_t(n));
    // What stands still is the same from frame to frame, sample by sample; a moving tone turns
    // with its phase and averages away over frames.
    ++state.offsetFrames;
    const double learn = 1.0 / double(std::min(state.offsetFrames, kOffsetFrames));
    state.standing.resize(size_t(n));
    for (int k = 0; k < n; ++k) {
        const int i = frame.i_samples[size_t(k)], q = frame.q_samples[size_t(k)];
        into.clipped = into.clipped || i <= kAdcLowest || i >= kAdcHighest || q <= kAdcLowest
            || q >= kAdcHighest;
        corrected[size_t(k)] = {double(i), q * qScale + i * qFromI};
        state.standing[size_t(k)] += (corrected[size_t(k)] - state.standing[size_t(k)]) * learn;
    }
    into.offsetSettled = state.offsetFrames >= kOffsetSettleFrames;
    const std::complex<double> offset = offsetIn(plan, state);
    for (int k = 0; k < n; ++k) {
        const std::complex<double> value
            = (corrected[size_t(k)] - offset) * double(plan.window[size_t(k)]);
        plan.in[size_t(k)].r = float(value.real());
        plan.in[size_t(k)].i = float(value.imag());
    }
    std::fill(plan.in.begin() + n, plan.in.end(), kiss_fft_cpx{0.0f, 0.0f});
    kiss_fft(plan.fft, plan.in.data(), plan.out.data());

    // Scaled so that a tone of amplitude A digits in I and Q peaks at A.
    const float scale = float(1.0 / plan.windowSum);
    cellPower.resize(size_t(m));
    const bool subtract = options.backgroundFrames > 0;
    if (subtract) {
        state.background.resize(size_t(m));
        ++state.backgroundFrames;
    }
    const float backgroundWeight = 1.0f
        / float(std::clamp(state.backgroundFrames, 1, std::max(options.backgroundFrames, 1)));
    for (int k = 0; k < m; ++k) {
        std::complex<float> value(plan.out[size_t(k)].r * scale, plan.out[size_t(k)].i * scale);
        if (subtract) {
            // Subtracted before it learns this frame, so that a new target shows at once.
            std::complex<float> &background = state.background[size_t(k)];
            const std::complex<float> clutterFree = value - background;
            background += (value - background) * backgroundWeight;
            value = clutterFree;
        }
        cellPower[size_t(k)] = std::norm(value);
    }
    if (options.averageFrames > 1) {
        ++state.averagedFrames;
        const float weight = 1.0f / float(std::min(state.averagedFrames, options.averageFrames));
        state.average.resize(size_t(m), 0.0f);
        for (int k = 0; k < m; ++k) {
            float &average = state.average[size_t(k)];
            average += (cellPower[size_t(k)] - average) * weight;
            cellPower[size_t(k)] = average;
        }
    }
    if (options.maxHold) {
        state.held.resize(size_t(m), 0.0f);
        for (int k = 0; k < m; ++k) {
            state.held[size_t(k)] = std::max(state.held[size_t(k)], cellPower[size_t(k)]);
            cellPower[size_t(k)] = state.held[size_t(k)];
        }
    }

    cellDb.resize(size_t(m));
    for (int k = 0; k < m; ++k)
        cellDb[size_t(k)] = 10.0f * std::log10(std::max(cellPower[size_t(k)], 1e-12f));
    toAxis(out.mode, n, out);

    // Peaks are looked for by signed frequency cell: all of them for CW, the beat side for FMCW
    // (both sides with the full span, the other one read as beyond the beat side's ranges). The
    // noise round a peak is estimated round the whole circle of the spectrum.
    TargetDetector::Search search;
    if (out.mode == 0) {
        search.first = -m / 2;
        search.count = m;
    } else if (radar.fullSpan) {
        search.first = radar.beatSign < 0 ? -(m - 1) : 0;
        search.count = m;
    } else {
        search.first = radar.beatSign < 0 ? -m / 2 : 0;
        search.count = m / 2 + 1;
    }
    const int blindCells = into.offsetSettled ? plan.settledBlindCells : plan.blindCells;
    search.blindCells = blindCells;
    const double rejectionDb = (radar.iqCorrected() ? kCorrectedImageRejectionDb
                                                    : kImageRejectionDb)
        - kImageMarginDb;
    search.imageBelow = std::pow(10.0, -rejectionDb / 10.0);
    TargetDetector::Found found;
    detector.detect(cellPower, cellDb, out.cellsPerBin, plan.sidelobes, search, peaks, &found);
    into.images = found.images;
    into.belowFloor = found.nearZero && into.offsetSettled;
    into.belowFloorLevelDb = found.nearZeroPeak.levelDb;
    into.floor = out.mode == 0 ? blindCells * out.step : out.at(blindCells);
    const double cellHz = radar.sampleRateHz / m;
    into.targets.reserve(peaks.size());
    for (const SpectrumPeak &peak : peaks) {
        RadarTarget target;
        target.rank = int(into.targets.size()) + 1;
        const double hz = peak.cell * cellHz;
        if (out.axis == RadarSpectrum::Axis::Speed)
            target.speedMps = radar.speedForFrequency(hz);
        else if (out.axis == RadarSpectrum::Axis::Range)
            target.rangeM = radar.rangeForBeat(hz);
        target.bins = (out.mode == 0 ? peak.cell : std::abs(peak.cell)) / out.cellsPerBin;
        target.levelDb = peak.levelDb;
        target.snrDb = peak.snrDb;
        into.targets.push_back(target);
    }
}

void RadarAnalyzer::toAxis(int mode, int samples, RadarSpectrum &out) const
{
    const int m = int(cellPower.size());
    const double cellHz = radar.sampleRateHz / m;
    out.cellsPerBin = double(m) / samples;
    // The FFT cell of axis cell i, and the signed step between them.
    int first = 0, direction = 1, length = m;
    if (mode == 0) {
        // Speed rises along the axis: with approaching tones negative that is rising frequency.
        out.axis = RadarSpectrum::Axis::Speed;
        first = radar.approachingSign < 0 ? -m / 2 : m / 2 - 1;
        direction = radar.approachingSign < 0 ? 1 : -1;
        out.start = radar.speedForFrequency(first * cellHz);
        out.step = std::abs(radar.speedForFrequency(cellHz));
    } else {
        // Range rises with the beat frequency on its side of the spectrum, from 0 to fs / 2, or
        // on round the circle to fs with the full span.
        length = radar.fullSpan ? m : m / 2 + 1;
        direction = radar.beatSign;
        if (radar.hasSweep()) {
            out.axis = RadarSpectrum::Axis::Range;
            out.start = radar.rangeForBeat(0.0);
            out.step = radar.rangeForBeat(cellHz) - out.start;
        } else {
            out.axis = RadarSpectrum::Axis::Bins;
            out.start = 0.0;
            out.step = 1.0 / out.cellsPerBin;
        }
    }
    out.power.resize(size_t(length));
    out.db.resize(size_t(length));
    out.ring.resize(length < m ? size_t(m) : 0);
    for (int i = 0; i < length; ++i) {
        const int cell = (first + direction * i) & (m - 1); // m is a power of two
        out.power[size_t(i)] = cellPower[size_t(cell)];
        out.db[size_t(i)] = cellDb[size_t(cell)];
    }
    if (!out.ring.empty()) {
        for (int i = 0; i < m; ++i)
            out.ring[size_t(i)] = cellPower[size_t((first + direction * i) & (m - 1))];
    }
}

// SPDX-License-Identifier: MIT
#include "radaranalyzer.h"

#include "frame.h"

#include <kiss_fft.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
// A tone's response at zero frequency above this (linear power, -15 dB) relative to its peak
// leaves too much of it in the frame's mean.
constexpr float kBlindResponse = 0.0316f;

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
    std::vector<kiss_fft_cpx> in, out;

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

double RadarAnalyzer::blindBins(SpectrumWindow window, int samples)
{
    if (samples < 2)
        return 0.0;
    RadarSettings settings;
    settings.window = window;
    RadarAnalyzer analyzer(RadarProfile(), settings);
    const Plan &plan = analyzer.planFor(samples);
    return double(plan.blindCells) * samples / plan.padded;
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
    plan->sidelobes.assign(response.size(), 0.0f);
    float highest = 0.0f;
    for (int d = m / 2; d >= 0; --d) {
        highest = std::max(highest, response[size_t(d)]);
        plan->sidelobes[size_t(d)] = highest;
    }
    plans.push_back(std::move(plan));
    return *plans.back();
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
    RadarSpectrum &out = into.spectrum;
    out.mode = frame.modulation ? 1 : 0;
    out.samples = std::max(0, frame.sample_count);
    const int n = std::min({out.samples, int(frame.i_samples.size()), int(frame.q_samples.size())});
    if (n < 2) {
        out.db.clear();
        out.power.clear();
        out.start = out.step = 0.0;
        out.cellsPerBin = 1;
        out.axis = out.mode ? RadarSpectrum::Axis::Range : RadarSpectrum::Axis::Speed;
        return;
    }
    Plan &plan = planFor(n);
    const int m = plan.padded;

    // The mean is weighted by the window. A strong tone leaks into the plain mean (through the
    // rectangular window's sidelobes), and taking that out would leave a false target at zero
    // frequency; the window's own leakage is far lower. A constant offset goes either way.
    double meanI = 0.0, meanQ = 0.0;
    for (int k = 0; k < n; ++k) {
        const double w = plan.window[size_t(k)];
        meanI += w * frame.i_samples[size_t(k)];
        meanQ += w * frame.q_samples[size_t(k)];
    }
    meanI /= plan.windowSum;
    meanQ /= plan.windowSum;
    for (int k = 0; k < n; ++k) {
        const float w = plan.window[size_t(k)];
        plan.in[size_t(k)].r = float(frame.i_samples[size_t(k)] - meanI) * w;
        plan.in[size_t(k)].i = float(frame.q_samples[size_t(k)] - meanQ) * w;
    }
    std::fill(plan.in.begin() + n, plan.in.end(), kiss_fft_cpx{0.0f, 0.0f});
    kiss_fft(plan.fft, plan.in.data(), plan.out.data());

    // Scaled so that a tone of amplitude A digits in I and Q peaks at A.
    const float scale = float(1.0 / plan.windowSum);
    ModeState &state = states[out.mode];
    if (state.samples != n) {
        state = ModeState();
        state.samples = n;
    }
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

    // Peaks are looked for by signed frequency cell: all of them for CW, the beat side for FMCW.
    // The noise around a peak is estimated round the whole circle of the spectrum.
    const int first = out.mode == 0 || radar.beatSign < 0 ? -m / 2 : 0;
    const int count = out.mode == 0 ? m : m / 2 + 1;
    // Within the window's main lobe of zero frequency a tone has a mean over the frame: taking
    // the offset out takes part of the tone, pushes its peak away from zero and leaves an image
    // on the other side. Nothing found there is reported, neither the pushed tone nor its image.
    detector.detect(
        cellPower, cellDb, out.cellsPerBin, plan.sidelobes, first, count, peaks, plan.blindCells);
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
    out.cellsPerBin = m / samples;
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
        // Range rises with the beat frequency on its side of the spectrum, from 0 to fs / 2.
        length = m / 2 + 1;
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
    for (int i = 0; i < length; ++i) {
        const int cell = (first + direction * i) & (m - 1); // m is a power of two
        out.power[size_t(i)] = cellPower[size_t(cell)];
        out.db[size_t(i)] = cellDb[size_t(cell)];
    }
}

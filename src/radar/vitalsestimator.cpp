// SPDX-License-Identifier: MIT
#include "vitalsestimator.h"

#include "frame.h"
#include "radaranalyzer.h"
#include "targettracker.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
// The circle needs this many values, and half its window, before the angle round it means much.
constexpr int kMinFitValues = 8;
// The spectrum needs this share of its window of displacement before it gives a rate.
constexpr double kMinRateShare = 0.5;
// Above this many values a second the displacement is averaged in blocks first: the bands end at
// 2 Hz, and a 30 s window of a fast line would cost a large transform.
constexpr double kMaxSpectrumRate = 25.0;
// The peak's own power: within this many bins of the window's length (the Hann window's main lobe
// reaches two).
constexpr double kPeakBins = 1.5;
// Breathing's harmonics are kept out of the heart band within this many bins; their skirts
// beyond are no peaks of their own. Narrower than the peak: a heartbeat 1.5 bins from a harmonic
// (72 a minute beside the fifth of 15) stays in sight.
constexpr double kHarmonicBins = 1.0;
// Phase steps from one frame to the next this large (rms over the last kStepSeconds) are motion
// the unwrapping cannot follow: at pi a step's direction is a guess.
constexpr double kMaxStepRad = 1.5;
constexpr double kStepSeconds = 2.0;
// How often the circle is fitted anew.
constexpr double kFitSeconds = 0.1;
// The drift's spread over the last kStepSeconds beyond this many times what the noise gives is a
// target moving within the frames.
constexpr double kMaxDriftNoise = 4.0;
// A residual this share of the radius leaves no circle worth the name: its score is zero.
constexpr double kResidualLimit = 0.5;
// The values' mean square spread must pass this many times the noise's variance for an echo that
// moves: noise alone gives 1 (within 0.15 over a window of 50 values), breathing tens.
constexpr double kEchoSpread = 2.0;
// A breathing peak must hold at least this share of the power below the band (what is left of a
// slow sway after the trend is taken out, and its window's sidelobes): a sway alone leaks only
// its sidelobes into the band, whose share of the band can be large when little else is there.
constexpr double kPeakOverBelow = 1.0;
// Nor can a peak with fewer cycles than this in the window (a window only half full, 15 s): the
// trend's leftovers of a sway fill the lowest bins, and the window's main lobe is two bins wide.
constexpr double kMinPeakCycles = 2.5;

} // namespace

struct VitalsEstimator::Spectrum {
    int length = 0;
    kiss_fftr_cfg fft = nullptr;
    std::vector<kiss_fft_scalar> in;
    std::vector<kiss_fft_cpx> out;
    std::vector<double> power;
    std::vector<double> series;

    ~Spectrum() { kiss_fftr_free(fft); }
    void resize(int padded)
    {
        if (padded == length)
            return;
        kiss_fftr_free(fft);
        length = padded;
        fft = kiss_fftr_alloc(padded, 0, nullptr, nullptr);
        in.assign(size_t(padded), 0.0f);
        out.assign(size_t(padded / 2 + 1), kiss_fft_cpx{0.0f, 0.0f});
        power.assign(size_t(padded / 2 + 1), 0.0);
    }
};

VitalsEstimator::VitalsEstimator(
    const RadarProfile &profile, int mode, const VitalsSettings &settings)
    : radar(profile)
    , followed(mode ? 1 : 0)
    , options(settings)
    , wavelengthM(profile.carrierHz > 0.0 ? RadarProfile::kSpeedOfLight / profile.carrierHz : 0.0)
    , spectrum(std::make_unique<Spectrum>())
{
}

VitalsEstimator::~VitalsEstimator() = default;

void VitalsEstimator::reset()
{
    history.clear();
    fit = VitalsCircle();
    reading = VitalsReading();
    cumulativeMm = 0.0;
    started = false;
    nextSpectrumAt = 0.0;
    nextFitAt = 0.0;
}

void VitalsEstimator::setRange(double metres)
{
    if (metres == rangeM || (std::isnan(metres) && std::isnan(rangeM)))
        return;
    rangeM = metres;
    samples = -1; // the cell's kernel is made anew
    reset();
}

double VitalsEstimator::nearestCell(const RadarProfile &profile, int samples)
{
    const int n = samples > 1 ? samples : 255;
    return profile.rangeForBeat(
        RadarAnalyzer::blindBins(SpectrumWindow::Hann, n) * profile.sampleRateHz / n);
}

QString VitalsEstimator::rangeRefusal(const RadarProfile &profile, double metres, int samples)
{
    const double nearest = nearestCell(profile, samples), span = profile.spanRange();
    const QString at = samples > 1 ? QStringLiteral("at n = %1").arg(samples)
                                   : QStringLiteral("at n = 255, more with fewer samples");
    const QString readable
        = QStringLiteral("give %1 to %2 m")
              .arg(QString::number(nearest, 'f', 2), QString::number(span, 'f', 1));
    if (metres > span)
        return QStringLiteral("%1 m is beyond the %2 m the profile reads (range_span %3): %4")
            .arg(QString::number(metres), QString::number(span, 'f', 1),
                QLatin1String(profile.fullSpan ? "full" : "half"), readable);
    if (metres < nearest)
        return QStringLiteral(
            "%1 m is nearer than the nearest range the analysis reads (%2 m %3): %4")
            .arg(QString::number(metres), QString::number(nearest, 'f', 2), at, readable);
    return QString();
}

double VitalsEstimator::nearestTrackRange(const std::vector<TrackState> &tracks)
{
    double nearest = qQNaN();
    for (const TrackState &track : tracks) {
        if (track.mode == 1 && track.confirmed && std::isfinite(track.rangeM)
            && !(track.rangeM >= nearest))
            nearest = track.rangeM;
    }
    return nearest;
}

void VitalsEstimator::followTracks(const std::vector<TrackState> &tracks, int n)
{
    const double nearest = nearestTrackRange(tracks);
    if (std::isnan(nearest) || n < 1 || !radar.hasSweep())
        return;
    const double bin = radar.rangeForBeat(radar.sampleRateHz / n) - radar.rangeForBeat(0.0);
    if (std::isnan(rangeM) || std::abs(nearest - rangeM) > 0.5 * bin)
        setRange(nearest);
}

double VitalsEstimator::framesPerSecond() const
{
    if (history.size() < 2)
        return 0.0;
    const double span = history.back().seconds - history.front().seconds;
    return span > 0.0 ? double(history.size() - 1) / span : 0.0;
}

QString VitalsEstimator::heartUnavailable() const
{
    const double rate = framesPerSecond();
    if (rate <= 0.0 || rate >= kMinHeartFramesPerSecond)
        return QString();
    return QStringLiteral("no heart rate at %1 frames/s of %2: it needs %3 (the heartbeat's second "
                          "harmonic would fold into its band)")
        .arg(QString::number(rate, 'f', 1), QLatin1String(followed ? "FMCW" : "CW"))
        .arg(kMinHeartFramesPerSecond);
}

std::vector<std::complex<float>> VitalsEstimator::fitValues() const
{
    std::vector<std::complex<float>> values;
    if (history.empty())
        return values;
    const double from = history.back().seconds - options.fitSeconds;
    for (const Sample &sample : history)
        if (sample.seconds > from)
            values.emplace_back(float(sample.value.real()), float(sample.value.imag()));
    return values;
}

void VitalsEstimator::snapshot(VitalsSnapshot &into) const
{
    ++into.sequence;
    into.mode = followed;
    into.rangeM = rangeM;
    into.reading = reading;
    into.circle = fit;
    into.displacement.clear();
    for (const Sample &sample : history)
        if (!std::isnan(sample.displacementMm))
            into.displacement.push_back({sample.seconds, sample.displacementMm});
    into.values.clear();
    if (!history.empty()) {
        const double from = history.back().seconds - options.fitSeconds;
        for (const Sample &sample : history)
            if (sample.seconds > from)
                into.values.emplace_back(float(sample.value.real()), float(sample.value.imag()));
    }
    into.framesPerSecond = framesPerSecond();
    into.heartUnavailable = heartUnavailable();
}

std::vector<VitalsPoint> VitalsEstimator::displacements() const
{
    std::vector<VitalsPoint> points;
    points.reserve(history.size());
    for (const Sample &sample : history)
        if (!std::isnan(sample.displacementMm))
            points.push_back({sample.seconds, sample.displacementMm});
    return points;
}

// The front end's imbalance undone as the analysis undoes it; then the whole return (CW) or the
// cell of the range (FMCW): a Hann-windowed DFT at its beat tone, made once per n.
VitalsEstimator::Sample VitalsEstimator::valueOf(const frame_t &frame, int n)
{
    if (n != samples) {
        samples = n;
        kernel.assign(size_t(n), std::complex<double>(1.0 / n, 0.0));
        if (followed == 1) {
            const double hz = radar.fmcwToneHz(rangeM, 0.0);
            double sum = 0.0;
            for (int k = 0; k < n; ++k)
                sum += windowWeight(SpectrumWindow::Hann, k, n);
            for (int k = 0; k < n; ++k)
                kernel[size_t(k)] = std::polar(windowWeight(SpectrumWindow::Hann, k, n) / sum,
                    -2.0 * kPi * hz * k / radar.sampleRateHz);
        }
        kernelPower = 0.0;
        for (const std::complex<double> &weight : kernel)
            kernelPower += std::norm(weight);
    }
    const double gain = std::pow(10.0, radar.iqGainDb / 20.0);
    const double skew = radar.iqPhaseDeg * kPi / 180.0;
    const double qScale = 1.0 / (gain * std::cos(skew)), qFromI = -std::tan(skew);
    double re[2] = {0.0, 0.0}, im[2] = {0.0, 0.0};
    double steps = 0.0, lastI = 0.0, lastQ = 0.0, bends = 0.0, stepI = 0.0, stepQ = 0.0;
    for (int k = 0; k < n; ++k) {
        const double i = frame.i_samples[size_t(k)];
        const double q = frame.q_samples[size_t(k)] * qScale + i * qFromI;
        const std::complex<double> w = kernel[size_t(k)];
        const int half = 2 * k >= n ? 1 : 0;
        re[half] += i * w.real() - q * w.imag();
        im[half] += i * w.imag() + q * w.real();
        if (k > 0) {
            const double di = i - lastI, dq = q - lastQ;
            steps += di * di + dq * dq;
            if (k > 1)
                bends += (di - stepI) * (di - stepI) + (dq - stepQ) * (dq - stepQ);
            stepI = di;
            stepQ = dq;
        }
        lastI = i;
        lastQ = q;
    }
    Sample sample;
    sample.value = {re[0] + re[1], im[0] + im[1]};
    sample.drift = {re[1] - re[0], im[1] - im[0]};
    // The noise's power per sample from the steps between samples (half their mean square):
    // the tones worth following turn little from one sample to the next.
    sample.driftNoise = n > 1 ? 0.5 * steps / (n - 1) * kernelPower : 0.0;
    // White noise gives a second difference six times its variance.
    sample.noise = n > 2 ? bends / (6.0 * (n - 2)) * kernelPower : 0.0;
    return sample;
}

// The algebraic (Kasa) fit: x^2 + y^2 + D x + E y + F = 0 in the least squares, on the values
// taken about their mean so that the sums stay well conditioned.
void VitalsEstimator::fitCircle(double seconds)
{
    fit.valid = false;
    fit.echo = false;
    fit.values = 0;
    const double from = seconds - options.fitSeconds;
    std::complex<double> mean;
    int count = 0;
    double first = seconds;
    for (auto it = history.rbegin(); it != history.rend() && it->seconds > from; ++it) {
        mean += it->value;
        first = it->seconds;
        ++count;
    }
    if (count < kMinFitValues || seconds - first < 0.5 * options.fitSeconds)
        return;
    mean /= double(count);
    double sxx = 0.0, syy = 0.0, sxy = 0.0, sxz = 0.0, syz = 0.0, sz = 0.0, noise = 0.0;
    for (auto it = history.rbegin(); it != history.rend() && it->seconds > from; ++it) {
        const double x = it->value.real() - mean.real(), y = it->value.imag() - mean.imag();
        const double z = x * x + y * y;
        noise += it->noise;
        sxx += x * x;
        syy += y * y;
        sxy += x * y;
        sxz += x * z;
        syz += y * z;
        sz += z;
    }
    fit.spread = std::sqrt(sz / count);
    fit.noise = std::sqrt(noise / count);
    fit.echo = sz / count > kEchoSpread * noise / count;
    fit.values = count;
    const double det = sxx * syy - sxy * sxy;
    if (!(det > 1e-12 * (sxx + syy) * (sxx + syy)))
        return;
    const double d = -(sxz * syy - syz * sxy) / det;
    const double e = -(syz * sxx - sxz * sxy) / det;
    const double f = -sz / count;
    const double radiusSquared = 0.25 * (d * d + e * e) - f;
    if (!(radiusSquared > 0.0))
        return;
    fit.centre = mean + std::complex<double>(-0.5 * d, -0.5 * e);
    fit.radius = std::sqrt(radiusSquared);
    double squares = 0.0;
    for (auto it = history.rbegin(); it != history.rend() && it->seconds > from; ++it) {
        const double off = std::abs(it->value - fit.centre) - fit.radius;
        squares += off * off;
    }
    fit.residual = std::sqrt(squares / count);
    fit.valid = true;
}

bool VitalsEstimator::add(const frame_t &frame, double seconds, VitalsReading *out)
{
    if ((frame.modulation ? 1 : 0) != followed)
        return false;
    const int n = std::min({std::max(0, frame.sample_count), int(frame.i_samples.size()),
        int(frame.q_samples.size())});
    if (!history.empty()
        && (seconds < history.back().seconds || seconds - history.back().seconds > kMaxGapSeconds
            || n != samples))
        reset();
    reading.seconds = seconds;
    if (n < 1 || (followed == 1 && (std::isnan(rangeM) || !radar.hasSweep()))
        || wavelengthM <= 0.0) {
        reset();
        reading.seconds = seconds;
        if (out)
            *out = reading;
        return true;
    }
    Sample sample = valueOf(frame, n);
    sample.seconds = seconds;
    const bool hadValue = !history.empty();
    const std::complex<double> before = hadValue ? history.back().value : sample.value;
    history.push_back(sample);
    while (history.front().seconds < seconds - options.rateSeconds)
        history.pop_front();
    // The centre moves slowly (an offset's drift): on a fast line the circle is fitted again
    // every kFitSeconds, not every frame, whose cost grows with the values in its window.
    if (!fit.valid || seconds >= nextFitAt) {
        nextFitAt = seconds + kFitSeconds;
        fitCircle(seconds);
    }

    // The angle round the centre as it stands now, from the last frame to this one: a step of
    // the unwrapped phase. Positive displacement is away from the sensor: an approaching target
    // turns I + jQ the way the profile's approaching sign says.
    if (fit.valid && fit.echo) {
        const std::complex<double> now = sample.value - fit.centre;
        if (started && hadValue) {
            const double step = std::arg(now * std::conj(before - fit.centre));
            cumulativeMm += -radar.approachingSign * 1e3 * wavelengthM * step / (4.0 * kPi);
        }
        started = true;
        history.back().displacementMm = cumulativeMm;
    } else {
        started = false;
    }
    if (seconds >= nextSpectrumAt) {
        nextSpectrumAt = seconds + options.updateSeconds;
        estimateRates();
    }
    reading.displacementMm = history.back().displacementMm;
    reading.seconds = seconds;
    // Nothing moves above the noise: what was there has gone, whatever the last spectrum said.
    reading.noEcho = fit.values > 0 && !fit.echo;
    if (reading.noEcho) {
        reading.breathsPerMin = reading.heartPerMin = qQNaN();
        reading.moving = false;
        reading.quality = 0.0;
    }
    if (out)
        *out = reading;
    return true;
}

// The breathing and heart rates from the displacement's spectrum over the window; the reading
// keeps them until the next.
void VitalsEstimator::estimateRates()
{
    const VitalsReading kept = reading;
    reading = VitalsReading();
    reading.seconds = kept.seconds;
    // The displacement of the window, evenly spaced at the line's pace; a fast line's averaged in
    // blocks.
    std::vector<double> &series = spectrum->series;
    series.clear();
    double first = qQNaN(), last = qQNaN();
    for (const Sample &sample : history) {
        if (std::isnan(sample.displacementMm))
            continue;
        if (std::isnan(first))
            first = sample.seconds;
        last = sample.seconds;
        series.push_back(sample.displacementMm);
    }
    const int count = int(series.size());
    if (count < 2 * kMinFitValues || last - first < kMinRateShare * options.rateSeconds)
        return;
    double rate = double(count - 1) / (last - first);
    const int block = int(std::ceil(rate / kMaxSpectrumRate));
    if (block > 1) {
        int kept = 0;
        for (int k = 0; k + block <= count; k += block) {
            double sum = 0.0;
            for (int j = 0; j < block; ++j)
                sum += series[size_t(k + j)];
            series[size_t(kept++)] = sum / block;
        }
        series.resize(size_t(kept));
        rate /= block;
    }
    const int m = int(series.size());
    // The motion: a chest breathing does not swing this far (the slow trend taken out), nor step
    // so far from one frame to the next that the unwrapping cannot follow. The trend is a
    // parabola: a straight line leaves most of a slow sway, whose window sidelobes reach the band.
    double moments[5] = {0.0, 0.0, 0.0, 0.0, 0.0}, sums[3] = {0.0, 0.0, 0.0};
    const auto along = [m](int k) { return m > 1 ? 2.0 * k / (m - 1) - 1.0 : 0.0; };
    for (int k = 0; k < m; ++k) {
        const double x = along(k), d = series[size_t(k)];
        double power = 1.0;
        for (int j = 0; j < 5; ++j, power *= x) {
            moments[j] += power;
            if (j < 3)
                sums[j] += power * d;
        }
    }
    // The normal equations of a + b x + c x^2 by Cramer's rule (x on -1..1 keeps them well
    // conditioned).
    const auto det3 = [](const double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1])
            - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0])
            + a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    double normal[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            normal[r][c] = moments[r + c];
    const double whole = det3(normal);
    double trend[3] = {0.0, 0.0, 0.0};
    for (int c = 0; c < 3 && whole != 0.0; ++c) {
        double replaced[3][3];
        for (int r = 0; r < 3; ++r)
            for (int j = 0; j < 3; ++j)
                replaced[r][j] = j == c ? sums[r] : normal[r][j];
        trend[c] = det3(replaced) / whole;
    }
    double lowest = qInf(), highest = -qInf();
    for (int k = 0; k < m; ++k) {
        const double x = along(k);
        series[size_t(k)] -= trend[0] + trend[1] * x + trend[2] * x * x;
        lowest = std::min(lowest, series[size_t(k)]);
        highest = std::max(highest, series[size_t(k)]);
    }
    double steps = 0.0;
    int stepCount = 0;
    const double stepsFrom = history.back().seconds - kStepSeconds;
    std::complex<double> driftMean;
    int driftCount = 0;
    for (size_t k = history.size() - 1; k > 0 && history[k].seconds > stepsFrom; --k) {
        driftMean += history[k].drift;
        ++driftCount;
        const double step = (history[k].displacementMm - history[k - 1].displacementMm) * 4.0 * kPi
            / (1e3 * wavelengthM);
        if (std::isnan(step))
            continue;
        steps += step * step;
        ++stepCount;
    }
    // A target that moves within a frame turns its drift from frame to frame; what stands still
    // or breathes leaves only the noise's.
    double driftSpread = 0.0, driftNoise = 0.0;
    if (driftCount > 0) {
        driftMean /= double(driftCount);
        for (size_t k = history.size() - 1, j = 0; j < size_t(driftCount); --k, ++j) {
            driftSpread += std::norm(history[k].drift - driftMean);
            driftNoise += history[k].driftNoise;
        }
    }
    reading.moving = highest - lowest > options.maxSwingMm
        || (stepCount > 0 && std::sqrt(steps / stepCount) > kMaxStepRad)
        || (driftCount > 1 && driftSpread > kMaxDriftNoise * driftNoise);

    int padded = 256;
    while (padded < 2 * m)
        padded *= 2;
    spectrum->resize(padded);
    for (int k = 0; k < padded; ++k)
        spectrum->in[size_t(k)] = k < m
            ? kiss_fft_scalar(series[size_t(k)] * windowWeight(SpectrumWindow::Hann, k, m))
            : 0.0f;
    kiss_fftr(spectrum->fft, spectrum->in.data(), spectrum->out.data());
    std::vector<double> &power = spectrum->power;
    for (size_t k = 0; k < power.size(); ++k)
        power[k] = double(spectrum->out[k].r) * spectrum->out[k].r
            + double(spectrum->out[k].i) * spectrum->out[k].i;
    const double binHz = rate / padded;
    const double peakHalfWidth = kPeakBins * padded / double(m); // in padded bins
    const double harmonicHalfWidth = kHarmonicBins * padded / double(m);
    const int nyquistBin = padded / 2;
    auto binOf
        = [&](double hz) { return std::clamp(int(std::lround(hz / binHz)), 1, nyquistBin - 1); };

    // The strongest peak of [low, high] not excluded, its frequency between bins from the log
    // power's parabola, and its share of the band's power. A peak is higher than its neighbours,
    // those outside the band or excluded too: the band's edge on the flank of something beyond
    // it (a sway's leftovers below the breathing band) or the skirt of an excluded harmonic is no
    // peak.
    auto peakIn = [&](int low, int high, const std::vector<char> &excluded, double *hz,
                      double *share, double *peakPower) {
        int best = -1;
        double total = 0.0;
        for (int k = low; k <= high; ++k) {
            if (!excluded.empty() && excluded[size_t(k)])
                continue;
            total += power[size_t(k)];
            if (power[size_t(k - 1)] < power[size_t(k)] && power[size_t(k + 1)] < power[size_t(k)]
                && (best < 0 || power[size_t(k)] > power[size_t(best)]))
                best = k;
        }
        if (best < 0 || !(total > 0.0))
            return false;
        double offset = 0.0;
        if (best > 0 && best < nyquistBin && power[size_t(best)] > 0.0) {
            const double a = std::log(std::max(power[size_t(best - 1)], 1e-300));
            const double b = std::log(power[size_t(best)]);
            const double c = std::log(std::max(power[size_t(best + 1)], 1e-300));
            const double curve = a - 2.0 * b + c;
            if (curve < 0.0)
                offset = std::clamp(0.5 * (a - c) / curve, -0.5, 0.5);
        }
        double peak = 0.0;
        for (int k = low; k <= high; ++k)
            if ((excluded.empty() || !excluded[size_t(k)])
                && std::abs(k - best - offset) <= peakHalfWidth)
                peak += power[size_t(k)];
        *hz = (best + offset) * binHz;
        *share = peak / total;
        if (peakPower)
            *peakPower = peak;
        return true;
    };

    double breathHz = 0.0, share = 0.0, breathPower = 0.0;
    const std::vector<char> none;
    const int breathLow = binOf(kBreathLowHz);
    if (!peakIn(breathLow, binOf(kBreathHighHz), none, &breathHz, &share, &breathPower))
        share = 0.0;
    double below = 0.0;
    for (int k = 0; k < breathLow; ++k)
        below += power[size_t(k)];
    if (breathPower < kPeakOverBelow * below || breathHz * m / rate < kMinPeakCycles)
        share = 0.0;
    const double circleScore = fit.valid && fit.radius > 0.0
        ? std::clamp(1.0 - fit.residual / (kResidualLimit * fit.radius), 0.0, 1.0)
        : 0.0;
    reading.quality = reading.moving ? 0.0 : share * circleScore;
    if (reading.quality < options.minQuality)
        return;
    reading.breathsPerMin = 60.0 * breathHz;

    // The heart band, where the frame rate allows: breathing's harmonics taken out of it, so that
    // a deep breath's shape is not read as a heartbeat. What bends the breath into harmonics
    // (a circle's centre a little off) also mixes it with the sway into lines beside them, each
    // weaker than the harmonic it flanks: a heart peak must be stronger than breathing's
    // strongest harmonic in the band.
    if (rate < kMinHeartFramesPerSecond || kHeartHighHz >= rate / 2.0)
        return;
    const int low = binOf(kHeartLowHz), high = binOf(kHeartHighHz);
    std::vector<char> excluded(power.size(), 0);
    double strongestHarmonic = 0.0;
    for (int harmonic = 2; harmonic * breathHz <= kHeartHighHz + binHz * peakHalfWidth;
         ++harmonic) {
        const double centre = harmonic * breathHz / binHz;
        for (int k = low; k <= high; ++k)
            if (std::abs(k - centre) <= harmonicHalfWidth) {
                excluded[size_t(k)] = 1;
                strongestHarmonic = std::max(strongestHarmonic, power[size_t(k)]);
            }
    }
    double heartHz = 0.0, heartShare = 0.0;
    if (!peakIn(low, high, excluded, &heartHz, &heartShare, nullptr))
        return;
    if (power[size_t(binOf(heartHz))] <= strongestHarmonic)
        heartShare = 0.0;
    reading.heartQuality = heartShare * circleScore;
    if (reading.heartQuality >= options.minHeartQuality)
        reading.heartPerMin = 60.0 * heartHz;
}

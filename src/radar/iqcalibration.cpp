// SPDX-License-Identifier: MIT
#include "iqcalibration.h"

#include "frame.h"
#include "radarprofile.h"

#include <kiss_fft.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kAdcTop = 4095;
// The moving echoes must stand at least this far above the noise (power per channel): below it
// an error of a few per cent in the noise's power moves the gain by a tenth of a dB.
constexpr double kMinSignalDb = 0.0;
// The estimate's standard error above which it is refused as not settled.
constexpr double kMaxGainSpreadDb = 0.2;
constexpr double kMaxPhaseSpreadDeg = 2.0;
// What a front end can have (the profile's own limits).
constexpr double kMaxGainDb = RadarProfile::kMaxIqGainDb;
constexpr double kMaxPhaseDeg = RadarProfile::kMaxIqPhaseDeg;

// The expected mean of the `r` smallest of `m` independent exponential values of mean 1.
double lowestMeanFactor(int m, int r)
{
    double sum = 0.0, order = 0.0;
    for (int i = 0; i < r; ++i) {
        order += 1.0 / double(m - i); // E of the (i + 1)-th smallest
        sum += order;
    }
    return sum / double(r);
}

struct Estimate {
    bool valid = false;
    double gainDb = 0.0, phaseDeg = 0.0;
    double signal = 0.0, noise = 0.0; // per channel and sample
};

} // namespace

struct IqCalibrator::Plan {
    kiss_fft_cfg fft = nullptr;
    std::vector<kiss_fft_cpx> in, out;
    std::vector<double> window;
    double windowSquares = 0.0;
    ~Plan() { kiss_fft_free(fft); }
};

void IqCalibrator::Sums::operator+=(const Sums &other)
{
    ii += other.ii;
    qq += other.qq;
    iq += other.iq;
    noise += other.noise;
    samples += other.samples;
    frames += other.frames;
}

IqCalibrator::IqCalibrator(double keepSeconds)
    : keep(std::max(keepSeconds, 0.0))
{
}

IqCalibrator::~IqCalibrator() = default;

void IqCalibrator::reset()
{
    added = used = clipped = shorter = 0;
    for (Sums &slice : slices)
        slice = Sums();
    kept.clear();
    backgrounds.clear();
}

IqCalibrator::Plan &IqCalibrator::planFor(int n)
{
    std::unique_ptr<Plan> &plan = plans[n];
    if (!plan) {
        plan = std::make_unique<Plan>();
        plan->fft = kiss_fft_alloc(n, 0, nullptr, nullptr);
        plan->in.resize(size_t(n));
        plan->out.resize(size_t(n));
        plan->window.resize(size_t(n));
        // The periodic Hann window: its spectrum has three lines, so the frame's mean, taken
        // out, touches bins 0 and +-1 only.
        for (int k = 0; k < n; ++k) {
            plan->window[size_t(k)] = 0.5 - 0.5 * std::cos(2.0 * kPi * k / n);
            plan->windowSquares += plan->window[size_t(k)] * plan->window[size_t(k)];
        }
    }
    return *plan;
}

double IqCalibrator::noisePower(int n)
{
    Plan &plan = planFor(n);
    for (int k = 0; k < n; ++k) {
        const double w = plan.window[size_t(k)];
        plan.in[size_t(k)] = kiss_fft_cpx{float(w * workI[size_t(k)]), float(w * workQ[size_t(k)])};
    }
    kiss_fft(plan.fft, plan.in.data(), plan.out.data());
    // Bins 2 to n - 2 hold noise and the echoes, each echo with its image and the window's lobes
    // around both. Neighbouring bins of the Hann window are correlated; bins two apart hardly
    // are, so the even and the odd bins are each a set of independent exponential powers, whose
    // smallest third lies in the noise unless the echoes fill two thirds of the spectrum.
    double estimate = 0.0;
    int sets = 0;
    for (int first = 2; first <= 3; ++first) {
        powers.clear();
        for (int k = first; k <= n - 2; k += 2) {
            const kiss_fft_cpx z = plan.out[size_t(k)];
            powers.push_back(double(z.r) * z.r + double(z.i) * z.i);
        }
        const int m = int(powers.size());
        if (m < 3)
            continue;
        const int r = m / 3;
        std::nth_element(powers.begin(), powers.begin() + r, powers.end());
        double sum = 0.0;
        for (int k = 0; k < r; ++k)
            sum += powers[size_t(k)];
        estimate += sum / r / lowestMeanFactor(m, r);
        ++sets;
    }
    // A bin of noise has the power of both channels times the window's squares.
    return sets ? estimate / sets / (2.0 * plan.windowSquares) : 0.0;
}

IqCalibrator::Kind IqCalibrator::measure(const frame_t &frame, Sums *sums)
{
    const int n = int(std::min(
        {size_t(std::max(frame.sample_count, 0)), frame.i_samples.size(), frame.q_samples.size()}));
    if (n < kMinSamples)
        return Kind::Short;
    for (int k = 0; k < n; ++k) {
        const int i = frame.i_samples[size_t(k)], q = frame.q_samples[size_t(k)];
        if (i <= 0 || i >= kAdcTop || q <= 0 || q >= kAdcTop)
            return Kind::Clipped;
    }
    // What stands still from frame to frame (the offset, a fixed echo of an FMCW frame) is the
    // running mean of the frames of this modulation and size: taken out of each frame, then
    // brought up to date with it.
    Background &background = backgrounds[int(frame.modulation & 1) * 256 + n];
    if (background.frames == 0) {
        background.i.assign(frame.i_samples.begin(), frame.i_samples.begin() + n);
        background.q.assign(frame.q_samples.begin(), frame.q_samples.begin() + n);
        background.frames = 1;
        return Kind::Learning;
    }
    background.frames = std::min(background.frames + 1, kBackgroundFrames);
    const double step = 1.0 / background.frames;
    workI.resize(size_t(n));
    workQ.resize(size_t(n));
    double meanI = 0.0, meanQ = 0.0;
    for (int k = 0; k < n; ++k) {
        const double i = frame.i_samples[size_t(k)] - background.i[size_t(k)];
        const double q = frame.q_samples[size_t(k)] - background.q[size_t(k)];
        background.i[size_t(k)] += step * i;
        background.q[size_t(k)] += step * q;
        workI[size_t(k)] = i;
        workQ[size_t(k)] = q;
        meanI += i;
        meanQ += q;
    }
    // The frame's own mean: the offset as it wanders since the running mean learnt it.
    meanI /= n;
    meanQ /= n;
    Sums frameSums;
    for (int k = 0; k < n; ++k) {
        const double i = workI[size_t(k)] -= meanI;
        const double q = workQ[size_t(k)] -= meanQ;
        frameSums.ii += i * i;
        frameSums.qq += q * q;
        frameSums.iq += i * q;
    }
    // Taking the mean out leaves n - 1 samples' worth of noise in the sums.
    frameSums.noise = (n - 1) * noisePower(n);
    frameSums.samples = n;
    frameSums.frames = 1;
    *sums = frameSums;
    return Kind::Used;
}

void IqCalibrator::add(const frame_t &frame, double seconds)
{
    Sums sums;
    const Kind kind = measure(frame, &sums);
    const int64_t sequence = added++;
    if (keep > 0.0) {
        // The frames of the last keepSeconds, the newest's time the reference; a link's clock
        // that went back starts the list again.
        if (!kept.empty() && seconds < kept.back().seconds)
            kept.clear();
        kept.push_back(Kept{sums, seconds, sequence, kind});
        while (kept.size() > kMaxKeptFrames || (kept.front().seconds < seconds - keep))
            kept.pop_front();
        return;
    }
    switch (kind) {
    case Kind::Used:
        slices[used++ % kSlices] += sums;
        break;
    case Kind::Clipped:
        ++clipped;
        break;
    case Kind::Short:
        ++shorter;
        break;
    case Kind::Learning:
        break;
    }
}

namespace {

Estimate estimateFrom(double ii, double qq, double iq, double noise, double samples)
{
    Estimate e;
    if (samples <= 0.0)
        return e;
    e.noise = noise / samples;
    const double signalI = (ii - noise) / samples, signalQ = (qq - noise) / samples;
    e.signal = std::sqrt(std::max(signalI, 0.0) * std::max(signalQ, 0.0));
    if (!(signalI > 0.0) || !(signalQ > 0.0))
        return e;
    const double sinPhase = iq / samples / e.signal;
    if (!(std::abs(sinPhase) < 1.0))
        return e;
    e.gainDb = 10.0 * std::log10(signalQ / signalI);
    e.phaseDeg = std::asin(sinPhase) * 180.0 / kPi;
    e.valid = std::isfinite(e.gainDb) && std::isfinite(e.phaseDeg);
    return e;
}

} // namespace

double IqCalibrator::imageRejectionDb(double gainDb, double phaseDeg)
{
    const double g = std::pow(10.0, gainDb / 20.0);
    const double c = 2.0 * g * std::cos(phaseDeg * kPi / 180.0);
    const double image = std::max(1.0 - c + g * g, 1e-30);
    return 10.0 * std::log10((1.0 + c + g * g) / image);
}

IqCalibration IqCalibrator::result(double seconds) const
{
    IqCalibration out;
    Sums bySlice[kSlices];
    if (keep > 0.0) {
        const double span = seconds > 0.0 ? std::min(seconds, keep) : keep;
        const double since = kept.empty() ? 0.0 : kept.back().seconds - span;
        int64_t index = 0;
        for (const Kept &frame : kept) {
            if (frame.seconds < since)
                continue;
            if (frame.kind == Kind::Used)
                bySlice[index++ % kSlices] += frame.sums;
            out.clippedFrames += frame.kind == Kind::Clipped ? 1 : 0;
            out.shortFrames += frame.kind == Kind::Short ? 1 : 0;
        }
    } else {
        std::copy(std::begin(slices), std::end(slices), std::begin(bySlice));
        out.clippedFrames = clipped;
        out.shortFrames = shorter;
    }
    Sums total;
    for (const Sums &slice : bySlice)
        total += slice;
    out.frames = total.frames;

    if (out.frames == 0 && out.clippedFrames == 0) {
        out.refusal = out.shortFrames > 0
            ? QStringLiteral("the frames are too short to calibrate from: at least %1 samples "
                             "are needed")
                  .arg(kMinSamples)
            : QStringLiteral("there are no frames to calibrate from");
        return out;
    }
    if (out.clippedFrames >= out.frames) {
        out.refusal = QStringLiteral("%1 of %2 frames reach the ADC's limits (0 or 4095): move "
                                     "the target farther away, or use a weaker one")
                          .arg(out.clippedFrames)
                          .arg(out.clippedFrames + out.frames);
        return out;
    }
    if (out.frames < kMinFrames) {
        out.refusal = QStringLiteral("too few frames: %1, and at least %2 are needed; record "
                                     "about 30 s with something moving in front of the sensor")
                          .arg(out.frames)
                          .arg(kMinFrames);
        return out;
    }
    const Estimate all
        = estimateFrom(total.ii, total.qq, total.iq, total.noise, double(total.samples));
    out.signalDb
        = all.noise > 0.0 && all.signal > 0.0 ? 10.0 * std::log10(all.signal / all.noise) : -99.0;
    if (out.signalDb < kMinSignalDb) {
        out.refusal = all.signal > 0.0
            ? QStringLiteral("nothing moves in the recording: once the offset and what stands "
                             "still are taken out, what is left is %1 dB against the noise; "
                             "record with something moving in front of the sensor")
                  .arg(out.signalDb, 0, 'f', 1)
            : QStringLiteral("nothing moves in the recording: once the offset and what stands "
                             "still are taken out, only noise is left; record with something "
                             "moving in front of the sensor");
        return out;
    }
    if (!all.valid || std::abs(all.gainDb) > kMaxGainDb || std::abs(all.phaseDeg) > kMaxPhaseDeg) {
        out.refusal = QStringLiteral("I and Q do not look like one front end's pair (gain %1 dB, "
                                     "phase %2 degrees; a front end has at most +-%3 dB and "
                                     "+-%4 degrees): check the channels")
                          .arg(all.gainDb, 0, 'f', 2)
                          .arg(all.phaseDeg, 0, 'f', 1)
                          .arg(kMaxGainDb)
                          .arg(kMaxPhaseDeg);
        return out;
    }
    out.gainDb = all.gainDb;
    out.phaseDeg = all.phaseDeg;
    // The standard error from the spread of the interleaved slices' own estimates.
    double gainSquares = 0.0, phaseSquares = 0.0;
    int valid = 0;
    for (const Sums &slice : bySlice) {
        const Estimate e
            = estimateFrom(slice.ii, slice.qq, slice.iq, slice.noise, double(slice.samples));
        if (!e.valid)
            continue;
        gainSquares += (e.gainDb - all.gainDb) * (e.gainDb - all.gainDb);
        phaseSquares += (e.phaseDeg - all.phaseDeg) * (e.phaseDeg - all.phaseDeg);
        ++valid;
    }
    if (valid < kSlices) {
        out.gainSpreadDb = out.phaseSpreadDeg = qInf();
    } else {
        out.gainSpreadDb = std::sqrt(gainSquares / (valid - 1) / valid);
        out.phaseSpreadDeg = std::sqrt(phaseSquares / (valid - 1) / valid);
    }
    out.imageRejectionBeforeDb = imageRejectionDb(out.gainDb, out.phaseDeg);
    if (!(out.gainSpreadDb <= kMaxGainSpreadDb) || !(out.phaseSpreadDeg <= kMaxPhaseSpreadDeg)) {
        out.refusal = QStringLiteral("the estimate does not settle (its standard error is "
                                     "+-%1 dB, +-%2 degrees): record longer, with a stronger "
                                     "moving target")
                          .arg(out.gainSpreadDb, 0, 'f', 2)
                          .arg(out.phaseSpreadDeg, 0, 'f', 1);
        return out;
    }
    out.imageRejectionAfterDb = imageRejectionDb(out.gainSpreadDb, out.phaseSpreadDeg);
    out.ok = true;
    return out;
}

QString IqCalibration::summary() const
{
    if (!ok)
        return refusal;
    return QStringLiteral("iq_gain_db %1, iq_phase_deg %2 from %3 frames (image rejection %4 dB "
                          "before, about %5 dB after)")
        .arg(gainDb, 0, 'f', 2)
        .arg(phaseDeg, 0, 'f', 2)
        .arg(frames)
        .arg(imageRejectionBeforeDb, 0, 'f', 0)
        .arg(std::min(imageRejectionAfterDb, 99.0), 0, 'f', 0);
}

// SPDX-License-Identifier: MIT
#include "boardmodel.h"

#include "linesettings.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kMidScale = 2048.0;
constexpr double kNoiseDigits = 30.0;

int16_t toAdc(double value)
{
    return int16_t(std::clamp(std::lround(value), 0L, 4095L));
}
} // namespace

BoardModel::BoardModel(SimMode mode, int samples, uint32_t seed)
    : mode(mode)
    , samples(samples)
    , random(seed)
    , framePeriod(linePeriod(samples))
{
}

double SimFrontEnd::offsetI(double seconds) const
{
    const double radius = dcDriftPerS * kDcDriftPeriodS / (2.0 * kPi);
    return dcI + radius * std::sin(2.0 * kPi * seconds / kDcDriftPeriodS);
}

double SimFrontEnd::offsetQ(double seconds) const
{
    const double radius = dcDriftPerS * kDcDriftPeriodS / (2.0 * kPi);
    return dcQ + radius * (1.0 - std::cos(2.0 * kPi * seconds / kDcDriftPeriodS));
}

double BoardModel::linePeriod(int samples)
{
    return (8.0 * samples + 7.0) / LineSettings::kBytesPerSecond;
}

double BoardModel::gaussian()
{
    // Box-Muller on the generator's raw output: the same seed gives the same bytes everywhere,
    // which std::normal_distribution does not promise.
    const double u1 = (double(random()) + 1.0) / 4294967297.0;
    const double u2 = double(random()) / 4294967296.0;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

FrameValues BoardModel::frame(int64_t index)
{
    const bool fmcw = mode == SimMode::Fmcw || (mode == SimMode::Alternate && index % 2 == 1);
    FrameValues values;
    values.mode = fmcw ? 1 : 0;
    values.byte3 = uint8_t(index & 0xFF);
    const int n = samples;
    values.i.resize(size_t(n));
    values.q.resize(size_t(n));
    const double t = double(index);
    // CW sees the target's Doppler tone, its sign following the direction of motion; FMCW sees a
    // beat tone per target at its range, here a moving target and a weaker fixed one.
    struct Tone
    {
        double cycles; // per frame of n samples; negative ones land in the upper half of the DFT
        double amplitude;
        double phase = 0.0;
    };
    std::vector<Tone> tones;
    if (scene) {
        // A moving target's echo turns with its range: 4 pi fc R / c, the way the Doppler shift of
        // a target that stands still turns it (frequencyForSpeed's sign). Its tone within the
        // frame is that of its range and radial speed at the frame's start.
        const double seconds = t * framePeriod;
        const double turn = -radar.approachingSign * 4.0 * kPi * radar.carrierHz / RadarProfile::kSpeedOfLight;
        for (const SimTargetTruth &target : moving.at(seconds)) {
            const double hz = fmcw && radar.hasSweep() ? radar.fmcwToneHz(target.rangeM, target.speedMps)
                                                       : radar.frequencyForSpeed(target.speedMps);
            tones.push_back({hz * n / radar.sampleRateHz, std::pow(10.0, target.levelDb / 20.0),
                             std::fmod(turn * target.rangeM, 2.0 * kPi)});
        }
        std::vector<SimTarget> reflectors = targets;
        for (const std::vector<SimTarget> *still : {&front.clutter, &moving.clutter}) {
            for (SimTarget reflector : *still) {
                reflector.speedMps = 0.0;
                reflectors.push_back(reflector);
            }
        }
        for (const SimTarget &target : reflectors) {
            // The echo's phase turns with the Doppler shift from one frame's start to the next,
            // and stands still for a target that does not move.
            const double doppler = radar.frequencyForSpeed(target.speedMps);
            const double hz = fmcw && radar.hasSweep() ? radar.fmcwToneHz(target.rangeM, target.speedMps) : doppler;
            const double phase = 4.0 * kPi * target.rangeM * radar.carrierHz / RadarProfile::kSpeedOfLight
                + 2.0 * kPi * doppler * framePeriod * t;
            tones.push_back({hz * n / radar.sampleRateHz, std::pow(10.0, target.levelDb / 20.0),
                             std::fmod(phase, 2.0 * kPi)});
        }
    } else if (fmcw) {
        const double range = 0.5 * n * (0.18 + 0.12 * std::sin(2.0 * kPi * t / 240.0));
        tones.push_back({-range, 1100.0});
        tones.push_back({-0.30 * n, 380.0});
    } else {
        // An approaching target: a few cycles per frame, drifting as it speeds up and slows down.
        const double doppler = -(2.5 + 6.0 * (0.5 + 0.5 * std::sin(2.0 * kPi * t / 300.0 + 0.8)));
        tones.push_back({doppler, 1300.0});
    }
    const double phase = scene ? 0.0 : 0.37 * t;
    const double offsetI = kMidScale + front.offsetI(t * framePeriod);
    const double offsetQ = kMidScale + front.offsetQ(t * framePeriod);
    const double gain = std::pow(10.0, front.iqGainDb / 20.0);
    const double skewSin = gain * std::sin(front.iqPhaseDeg * kPi / 180.0);
    const double skewCos = gain * std::cos(front.iqPhaseDeg * kPi / 180.0);
    for (int k = 0; k < n; ++k) {
        double re = 0.0, im = 0.0;
        for (const Tone &tone : tones) {
            const double angle = 2.0 * kPi * tone.cycles * k / std::max(n, 1) + phase + tone.phase;
            re += tone.amplitude * std::cos(angle);
            im += tone.amplitude * std::sin(angle);
        }
        // Q's channel has its own gain and a phase off quadrature; the ADC clips at its rails.
        const double q = skewCos * im + skewSin * re;
        values.i[size_t(k)] = toAdc(offsetI + re + kNoiseDigits * gaussian());
        values.q[size_t(k)] = toAdc(offsetQ + q + kNoiseDigits * gaussian());
    }
    values.s = spectrumDb(values.i, values.q);
    return values;
}

void BoardModel::setRadarScene(const RadarProfile &profile, const std::vector<SimTarget> &targets)
{
    scene = true;
    radar = profile;
    this->targets = targets;
}

void BoardModel::setScene(const RadarProfile &profile, const SimScene &scene)
{
    this->scene = true;
    radar = profile;
    moving = scene;
}

std::vector<SimTargetTruth> BoardModel::truth(int64_t index) const
{
    std::vector<SimTargetTruth> seen = moving.at(secondsAt(index));
    for (size_t k = 0; k < targets.size(); ++k)
        seen.push_back({int(moving.targets.size() + k) + 1, targets[k].rangeM, targets[k].speedMps, targets[k].levelDb});
    return seen;
}

std::vector<int32_t> BoardModel::spectrumDb(const std::vector<int16_t> &i, const std::vector<int16_t> &q)
{
    const size_t n = i.size();
    std::vector<int32_t> spectrum(n);
    if (n == 0)
        return spectrum;
    double meanI = 0.0, meanQ = 0.0;
    for (size_t k = 0; k < n; ++k) {
        meanI += i[k];
        meanQ += q[k];
    }
    meanI /= double(n);
    meanQ /= double(n);
    std::vector<double> re(n), im(n);
    double windowSum = 0.0;
    for (size_t k = 0; k < n; ++k) {
        const double w = n > 1 ? 0.5 - 0.5 * std::cos(2.0 * kPi * double(k) / double(n - 1)) : 1.0;
        windowSum += w;
        re[k] = (i[k] - meanI) * w;
        im[k] = (q[k] - meanQ) * w;
    }
    // Twiddle factors once per frame: a long soak computes hundreds of thousands of spectra.
    std::vector<double> cosines(n), sines(n);
    for (size_t k = 0; k < n; ++k) {
        cosines[k] = std::cos(-2.0 * kPi * double(k) / double(n));
        sines[k] = std::sin(-2.0 * kPi * double(k) / double(n));
    }
    for (size_t bin = 0; bin < n; ++bin) {
        double sumRe = 0.0, sumIm = 0.0;
        for (size_t k = 0, turn = 0; k < n; ++k, turn = (turn + bin) % n) {
            const double c = cosines[turn], s = sines[turn];
            sumRe += re[k] * c - im[k] * s;
            sumIm += re[k] * s + im[k] * c;
        }
        const double magnitude = std::hypot(sumRe, sumIm) / windowSum;
        const double db = 20.0 * std::log10(std::max(magnitude, 1e-3)) - 5.0;
        spectrum[bin] = int32_t(std::clamp(std::lround(db), -35L, 60L));
    }
    return spectrum;
}

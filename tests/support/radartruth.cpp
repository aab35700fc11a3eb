// SPDX-License-Identifier: MIT
#include "radartruth.h"

#include "boardmodel.h"
#include "frame.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// The simulator's noise: Gaussian, this many digits in I and in Q.
constexpr double kNoiseDigits = 30.0;
// A target reported this close to the truth is that target.
constexpr double kMatchBins = 0.5;
// A slow target's ghosts and pushed peaks lie within this many bins of zero frequency.
constexpr double kNearZeroBins = 6.0;

frame_t recordFor(const FrameValues &values)
{
    frame_t record;
    record.modulation = values.mode;
    record.sample_count = int(values.i.size());
    record.i_samples = values.i;
    record.q_samples = values.q;
    return record;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return qQNaN();
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

RadarProfile exampleRadarProfile()
{
    QFile file(QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json"));
    RadarProfile profile;
    QString error;
    if (!file.open(QIODevice::ReadOnly)
        || !RadarProfile::parse(file.readAll(), file.fileName(), &profile, &error))
        qFatal("the example profile does not load: %s", qPrintable(error));
    return profile;
}

double levelForSnr(double snrDb, int samples, SpectrumWindow window)
{
    double sum = 0.0, squares = 0.0;
    for (int k = 0; k < samples; ++k) {
        const double w = windowWeight(window, k, samples);
        sum += w;
        squares += w * w;
    }
    const double noisePower = 2.0 * kNoiseDigits * kNoiseDigits * squares / (sum * sum);
    return 10.0 * std::log10(noisePower) + snrDb;
}

RadarScore scoreRadarCase(const RadarCase &radarCase)
{
    const RadarSettings &settings = radarCase.settings;
    RadarProfile profile = exampleRadarProfile();
    if (radarCase.flipApproaching)
        profile.approachingSign = -profile.approachingSign;
    const int n = radarCase.samples;
    const bool fmcw = radarCase.mode == 1;
    BoardModel model(fmcw ? SimMode::Fmcw : SimMode::Cw, n, radarCase.seed);
    RadarAnalyzer analyzer(profile, settings);
    // One board bin on the axis: fs / n in frequency.
    const double binHz = profile.sampleRateHz / n;
    const double speedBin = std::abs(profile.speedForFrequency(binHz));
    const double rangeBin = profile.rangeForBeat(binHz) - profile.rangeForBeat(0.0);
    const double bin = fmcw ? rangeBin : speedBin;
    const double level = levelForSnr(radarCase.snrDb, n, settings.window);
    const double clear = std::max(2.0, RadarAnalyzer::blindBins(settings.window, n) + 0.25);

    const int warmUp
        = radarCase.kind == RadarCase::Kind::Slow ? RadarAnalyzer::kOffsetSettleFrames : 0;
    std::vector<double> errors, snrs;
    int directionRight = 0, found = 0, falseFrames = 0, wrongFrames = 0;
    RadarAnalysis analysis;
    for (int index = 0; index < radarCase.frames; ++index) {
        // Swept over the axis, avoiding the two bins either side of zero frequency (more when
        // the window's zone where taking the samples' mean out distorts a tone is wider), and
        // the last tenth before the axis ends.
        const double fraction = radarCase.frames > 1 ? double(index) / (radarCase.frames - 1) : 0.5;
        std::vector<SimTarget> truth;
        if (fmcw) {
            const double nearest = std::max(2.0, clear * rangeBin);
            const double farthest = 0.9 * profile.maxRange();
            const double range = nearest + (farthest - nearest) * fraction;
            truth.push_back({range, 0.0, level});
            if (radarCase.kind == RadarCase::Kind::Pair) {
                truth[0].rangeM = nearest + (farthest - nearest - 3.0 * rangeBin) * fraction;
                // Slowly moving, so that the two echoes do not meet at one phase every frame.
                truth[0].speedMps = 0.01;
                truth.push_back({truth[0].rangeM + 3.0 * rangeBin, -0.02, level - 10.0});
            }
        } else {
            const double limit = 0.9 * profile.maxSpeed();
            double speed = -limit + 2.0 * limit * fraction;
            if (std::abs(speed) < clear * speedBin)
                speed = std::copysign(clear * speedBin, speed);
            truth.push_back({0.0, speed, level});
            if (radarCase.kind == RadarCase::Kind::Pair) {
                truth[0].speedMps = -limit + (2.0 * limit - 3.0 * speedBin) * fraction;
                if (truth[0].speedMps > -5.0 * speedBin && truth[0].speedMps < 2.0 * speedBin)
                    truth[0].speedMps = 2.0 * speedBin;
                truth.push_back({0.0, truth[0].speedMps + 3.0 * speedBin, level - 10.0});
            }
        }
        if (radarCase.kind == RadarCase::Kind::Noise)
            truth.clear();
        if (radarCase.kind == RadarCase::Kind::Slow) {
            // Near zero frequency, where the frame's offset is taken out. FMCW beats have one
            // side only; CW speeds change sides from frame to frame.
            truth.clear();
            if (fmcw)
                truth.push_back({profile.rangeForBeat(radarCase.bins * binHz), 0.0, level});
            else
                truth.push_back({0.0, (index % 2 ? 1.0 : -1.0) * radarCase.bins * speedBin, level});
        }
        model.setRadarScene(profile, truth);
        const frame_t record = recordFor(model.frame(index));

        analyzer.analyze(record, analysis);
        // Near zero, the offset is learnt over the first frames: they are not scored.
        if (index < warmUp)
            continue;

        auto where
            = [&](const SimTarget &target) { return fmcw ? target.rangeM : target.speedMps; };
        auto reported
            = [&](const RadarTarget &target) { return fmcw ? target.rangeM : target.speedMps; };
        int matched = 0;
        bool stray = false;
        for (const RadarTarget &target : analysis.targets) {
            bool isTrue = false;
            for (const SimTarget &real : truth)
                isTrue = isTrue || std::abs(reported(target) - where(real)) <= kMatchBins * bin;
            stray = stray || !isTrue;
        }
        for (const SimTarget &real : truth) {
            for (const RadarTarget &target : analysis.targets) {
                if (std::abs(reported(target) - where(real)) <= kMatchBins * bin) {
                    ++matched;
                    break;
                }
            }
        }
        found += matched == int(truth.size()) ? 1 : 0;
        // Reports near zero frequency are the slow target's, or its ghosts; farther ones are
        // the noise's own false alarms (counted in falseTargets).
        auto nearZero
            = [&](const RadarTarget &target) { return std::abs(target.bins) < kNearZeroBins; };
        if (!fmcw && !truth.empty()) {
            bool wrong = false;
            for (const RadarTarget &target : analysis.targets)
                wrong = wrong
                    || (nearZero(target)
                        && (target.speedMps < 0.0) != (truth.front().speedMps < 0.0));
            wrongFrames += wrong ? 1 : 0;
        }
        if (radarCase.kind == RadarCase::Kind::Slow) {
            // Every report near zero counts: a target pushed away is as wrong as the strongest.
            for (const RadarTarget &target : analysis.targets) {
                if (nearZero(target))
                    errors.push_back(std::abs(reported(target) - where(truth.front())) / bin);
            }
        }
        falseFrames += stray ? 1 : 0;
        if (radarCase.kind == RadarCase::Kind::Sweep) {
            // The strongest report against the truth. A frame without one counts against `found`
            // (at 20 dB about one frame in several thousand: the noise can bury the peak).
            if (!analysis.targets.empty())
                errors.push_back(
                    std::abs(reported(analysis.targets.front()) - where(truth.front())) / bin);
            if (!fmcw && !analysis.targets.empty()) {
                const bool approaching = truth.front().speedMps < 0.0;
                const char *expected = approaching ? "approaching" : "receding";
                directionRight
                    += qstrcmp(analysis.targets.front().direction(), expected) == 0 ? 1 : 0;
            }
        }
        if (!analysis.targets.empty() && !truth.empty())
            snrs.push_back(analysis.targets.front().snrDb);
    }

    RadarScore score;
    const int scored = std::max(radarCase.frames - warmUp, 1);
    score.frames = scored;
    if (!errors.empty()) {
        score.medianErrorBins = median(errors);
        score.worstErrorBins = *std::max_element(errors.begin(), errors.end());
    }
    // Of the frames that report a target.
    score.directionRight = errors.empty() ? 0.0 : double(directionRight) / double(errors.size());
    score.found = double(found) / scored;
    score.falseTargets = double(falseFrames) / scored;
    score.wrongDirection = double(wrongFrames) / scored;
    score.medianSnrDb = median(snrs);
    return score;
}

// SPDX-License-Identifier: MIT
#include "scenetruth.h"

#include "frame.h"
#include "radartruth.h"

#include <QtNumeric>
#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <map>

namespace {

double median(std::vector<double> values)
{
    if (values.empty())
        return qQNaN();
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

} // namespace

SimScene sceneFrom(const QByteArray &json)
{
    SimScene scene;
    QString error;
    if (!SimScene::parse(json, QStringLiteral("scene"), &scene, &error))
        qWarning("%s", qPrintable(error));
    return scene;
}

SceneScore scoreScene(const SceneCase &sceneCase)
{
    const RadarProfile profile = exampleRadarProfile();
    const int n = sceneCase.samples;
    BoardModel model(sceneCase.mode, n, sceneCase.seed);
    model.setFrontEnd(sceneCase.frontEnd);
    model.setScene(profile, sceneCase.scene);
    RadarAnalyzer analyzer(profile);
    TargetTracker tracker(profile, sceneCase.tracking);
    const double speedBin = std::abs(profile.speedForFrequency(profile.sampleRateHz / n));
    const double rangeBin = profile.rangeForBeat(profile.sampleRateHz / n) - profile.rangeForBeat(0.0);
    const double seconds = sceneCase.seconds > 0.0 ? sceneCase.seconds : sceneCase.scene.durationS;

    SceneScore score;
    score.targets = int(sceneCase.scene.targets.size());
    score.presentAt = qQNaN();
    score.absentAt = qQNaN();
    // Each target's largest speed while in view, and when it was.
    std::vector<double> largest(size_t(score.targets), 0.0);
    std::vector<double> firstSeen(size_t(score.targets), qInf());
    std::vector<double> lastSeen(size_t(score.targets), -qInf());
    std::vector<TrackPass> passes;
    std::vector<double> rangeErrors, uncorrectedErrors;
    int tied = 0;
    std::map<int, bool> numbers[2];
    RadarAnalysis analysis;
    for (int64_t index = 0; model.secondsAt(index) < seconds; ++index) {
        const double t = model.secondsAt(index);
        const FrameValues values = model.frame(index);
        const std::vector<SimTargetTruth> truth = model.truth(index);
        frame_t record;
        record.modulation = values.mode;
        record.sample_count = n;
        record.i_samples = values.i;
        record.q_samples = values.q;
        analyzer.analyze(record, analysis);
        const bool present = tracker.present();
        tracker.update(t, analysis);
        if (tracker.present() != present) {
            ++score.presenceChanges;
            if (!tracker.present())
                score.absentAt = t;
            else if (std::isnan(score.presentAt))
                score.presentAt = t;
        }
        for (const TrackPass &pass : tracker.takePasses())
            passes.push_back(pass);
        ++score.frames;
        for (const SimTargetTruth &target : truth) {
            if (target.target > score.targets)
                continue;
            const size_t k = size_t(target.target - 1);
            largest[k] = std::max(largest[k], std::abs(target.speedMps));
            firstSeen[k] = std::min(firstSeen[k], t);
            lastSeen[k] = std::max(lastSeen[k], t);
        }
        const int mode = values.mode & 1;
        for (const TrackState &track : tracker.tracks(mode)) {
            if (!track.confirmed || !track.hit)
                continue;
            numbers[mode][track.id] = true;
            // The ranges of what moves (a standing echo is no target of the scene's).
            if (mode != 1 || truth.empty()
                || !(std::abs(track.speedMps) >= sceneCase.tracking.presenceMinSpeedMps))
                continue;
            double nearest = qInf();
            double uncorrected = qInf();
            const double shift = track.tiedTo != 0
                ? profile.chirp() * track.speedMps * profile.carrierHz / profile.sweepSlope()
                : 0.0;
            for (const SimTargetTruth &target : truth) {
                if (std::abs(track.rangeM - target.rangeM) < std::abs(nearest))
                    nearest = track.rangeM - target.rangeM;
                if (std::abs(track.rangeM + shift - target.rangeM) < std::abs(uncorrected))
                    uncorrected = track.rangeM + shift - target.rangeM;
            }
            rangeErrors.push_back(std::abs(nearest) / rangeBin);
            uncorrectedErrors.push_back(std::abs(uncorrected) / rangeBin);
            tied += track.tiedTo != 0;
        }
    }
    tracker.finish();
    for (const TrackPass &pass : tracker.takePasses())
        passes.push_back(pass);
    score.trackNumbers[0] = int(numbers[0].size());
    score.trackNumbers[1] = int(numbers[1].size());
    score.medianRangeErrorBins = median(rangeErrors);
    score.medianRangeErrorUncorrectedBins = median(uncorrectedErrors);
    score.tiedRows = rangeErrors.empty() ? 0.0 : double(tied) / double(rangeErrors.size());

    // The speed passes: CW's, or FMCW's where the board has no CW frames.
    const int passMode = sceneCase.mode == SimMode::Fmcw ? 1 : 0;
    std::vector<int> passesOf(size_t(score.targets), 0);
    for (const TrackPass &pass : passes) {
        if (pass.mode != passMode)
            continue;
        ++score.passes;
        int best = -1;
        for (int k = 0; k < score.targets; ++k) {
            const size_t at = size_t(k);
            const bool overlaps = pass.startSeconds <= lastSeen[at] + 0.5
                && pass.endSeconds >= firstSeen[at] - 0.5;
            if (overlaps
                && (best < 0
                    || std::abs(largest[at] - pass.maxSpeedMps)
                        < std::abs(largest[size_t(best)] - pass.maxSpeedMps)))
                best = k;
        }
        if (best < 0) {
            ++score.falsePasses;
            continue;
        }
        ++passesOf[size_t(best)];
        score.worstSpeedErrorBins = std::max(score.worstSpeedErrorBins,
            std::abs(largest[size_t(best)] - pass.maxSpeedMps) / speedBin);
        const SimSceneTarget &target = sceneCase.scene.targets[size_t(best)];
        const int direction
            = target.radialSpeedAt(0.5 * (pass.startSeconds + pass.endSeconds)) < 0.0 ? -1 : 1;
        score.wrongDirections += pass.direction != direction;
    }
    for (int count : passesOf) {
        score.missedTargets += count == 0;
        score.numberChanges += std::max(0, count - 1);
    }
    return score;
}

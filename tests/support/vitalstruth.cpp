// SPDX-License-Identifier: MIT
#include "vitalstruth.h"

#include "frame.h"
#include "radaranalyzer.h"
#include "radartruth.h"
#include "targettracker.h"
#include "vitalsestimator.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    if (values.empty())
        return qQNaN();
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// The swing of a breathing displacement: in each 30 s window the rms about its straight trend,
// times 2 sqrt(2) (a sine's peak-to-peak); the median over the windows.
double swingOf(const std::vector<double> &times, const std::vector<double> &values)
{
    std::vector<double> swings;
    size_t start = 0;
    while (start < times.size()) {
        size_t end = start;
        while (end < times.size() && times[end] < times[start] + 30.0)
            ++end;
        if (times[end - 1] - times[start] < 25.0)
            break;
        const double m = double(end - start);
        double st = 0.0, sv = 0.0, stt = 0.0, stv = 0.0;
        for (size_t k = start; k < end; ++k) {
            const double t = times[k] - times[start];
            st += t;
            sv += values[k];
            stt += t * t;
            stv += t * values[k];
        }
        const double slope = (m * stv - st * sv) / (m * stt - st * st);
        const double intercept = (sv - slope * st) / m;
        double squares = 0.0;
        for (size_t k = start; k < end; ++k) {
            const double off = values[k] - intercept - slope * (times[k] - times[start]);
            squares += off * off;
        }
        swings.push_back(2.0 * std::sqrt(2.0) * std::sqrt(squares / m));
        start = end;
    }
    return median(swings);
}

} // namespace

VitalsScore scoreVitals(const VitalsCase &vitalsCase)
{
    const RadarProfile profile = exampleRadarProfile();
    const int n = vitalsCase.samples;
    BoardModel model(vitalsCase.mode, n, vitalsCase.seed);
    model.setFrontEnd(vitalsCase.frontEnd);
    model.setScene(profile, vitalsCase.scene);
    VitalsEstimator estimator(profile, vitalsCase.followMode);
    estimator.setRange(vitalsCase.rangeM);
    const bool following = vitalsCase.followMode == 1 && std::isnan(vitalsCase.rangeM);
    std::unique_ptr<RadarAnalyzer> analyzer;
    std::unique_ptr<TargetTracker> tracker;
    if (following) {
        analyzer = std::make_unique<RadarAnalyzer>(profile);
        tracker = std::make_unique<TargetTracker>(profile);
    }
    const SimSceneTarget *person = nullptr;
    for (const SimSceneTarget &target : vitalsCase.scene.targets)
        if (target.breathsPerMin > 0.0 && !person)
            person = &target;

    VitalsScore score;
    int rates = 0, within = 0, hearts = 0, heartWithin = 0, moving = 0, noEcho = 0;
    std::vector<double> errors, qualities, times, measured, truth;
    RadarAnalysis analysis;
    for (int64_t index = 0; model.secondsAt(index) < vitalsCase.seconds; ++index) {
        const double t = model.secondsAt(index);
        const FrameValues values = model.frame(index);
        frame_t record;
        record.modulation = values.mode;
        record.sample_count = n;
        record.i_samples = values.i;
        record.q_samples = values.q;
        if (following) {
            analyzer->analyze(record, analysis);
            tracker->update(t, analysis);
            estimator.followTracks(tracker->tracks(1), n);
        }
        VitalsReading reading;
        if (!estimator.add(record, t, &reading) || t < vitalsCase.scoredFromS)
            continue;
        ++score.rows;
        moving += reading.moving;
        noEcho += reading.noEcho;
        if (!std::isnan(reading.quality))
            qualities.push_back(reading.quality);
        if (!std::isnan(reading.breathsPerMin)) {
            ++rates;
            if (person) {
                const double error = std::abs(reading.breathsPerMin - person->breathsPerMin);
                errors.push_back(error);
                within += error <= 1.0;
            }
        }
        if (!std::isnan(reading.heartPerMin)) {
            ++hearts;
            heartWithin += person && std::abs(reading.heartPerMin - person->heartPerMin) <= 5.0;
        }
        if (person && person->inView(t) && !std::isnan(reading.displacementMm)) {
            times.push_back(t);
            measured.push_back(reading.displacementMm);
            truth.push_back(1e3 * person->microMotionM(t));
        }
    }
    const double rows = std::max(score.rows, 1);
    score.rateRows = rates / rows;
    score.rateWithin1 = within / rows;
    score.heartRows = hearts / rows;
    score.movingRows = moving / rows;
    score.noEchoRows = noEcho / rows;
    score.heartWithin5 = heartWithin / rows;
    score.medianRateError = median(errors);
    score.medianQuality = median(qualities);
    score.swingMm = swingOf(times, measured);
    score.truthSwingMm = swingOf(times, truth);
    score.framesPerSecond = estimator.framesPerSecond();
    score.heartUnavailable = estimator.heartUnavailable();
    return score;
}

// SPDX-License-Identifier: MIT
// The radar analysis against the simulator's truth: the errors in the board's bins, how often
// targets are found or invented, what one frame's analysis costs (goal: 20 us at n = 128, the
// FFT included), what tracking its targets costs (goal: 5 us a frame), and what the vitals
// estimator costs (goal: 5 us a frame, its spectrum's share included) and how well it reads a
// person at rest.
// Usage: radar_bench [--json] [--smoke]
#include "benchjson.h"
#include "boardmodel.h"
#include "frame.h"
#include "radaranalyzer.h"
#include "radartruth.h"
#include "scenetruth.h"
#include "targettracker.h"
#include "vitalsestimator.h"
#include "vitalstruth.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <ctime>

namespace {

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

double microsecondsPerFrame(int samples, int mode, int frames)
{
    const RadarProfile profile = exampleRadarProfile();
    BoardModel model(mode ? SimMode::Fmcw : SimMode::Cw, samples, 1);
    // Both clear of the zone around zero speed that reports nothing, at n = 16 too.
    model.setRadarScene(profile, {{12.0, -20.0, 50.0}, {25.0, 14.0, 40.0}});
    std::vector<frame_t> records(64);
    for (size_t k = 0; k < records.size(); ++k) {
        const FrameValues values = model.frame(int64_t(k));
        records[k].modulation = values.mode;
        records[k].sample_count = samples;
        records[k].i_samples = values.i;
        records[k].q_samples = values.q;
    }
    RadarAnalyzer analyzer(profile);
    RadarAnalysis analysis;
    size_t targets = 0;
    // The thread's processor time: on a machine shared with a build, time spent waiting for a
    // core is not the analysis' cost.
    const double started = threadSeconds();
    for (int k = 0; k < frames; ++k) {
        analyzer.analyze(records[size_t(k) % records.size()], analysis);
        targets += analysis.targets.size();
    }
    const double seconds = threadSeconds() - started;
    if (targets == 0)
        std::fprintf(stderr, "radar_bench: no target found at n = %d\n", samples);
    return 1e6 * seconds / frames;
}

// The tracker alone, on an alternating board's analyses of two moving targets and a standing
// one among noise (the analyses made first, then fed again and again with the time going on).
double trackingMicrosecondsPerFrame(int frames)
{
    const RadarProfile profile = exampleRadarProfile();
    BoardModel model(SimMode::Alternate, 128, 2);
    model.setRadarScene(profile, {{12.0, -20.0, 50.0}, {25.0, 14.0, 40.0}, {8.0, 0.0, 45.0}});
    RadarAnalyzer analyzer(profile);
    std::vector<RadarAnalysis> analyses(256);
    for (size_t k = 0; k < analyses.size(); ++k) {
        const FrameValues values = model.frame(int64_t(k));
        frame_t record;
        record.modulation = values.mode;
        record.sample_count = 128;
        record.i_samples = values.i;
        record.q_samples = values.q;
        analyzer.analyze(record, analyses[k]);
    }
    TargetTracker tracker(profile);
    const double period = BoardModel::linePeriod(128);
    size_t passes = 0;
    int confirmed = 0;
    const double started = threadSeconds();
    for (int k = 0; k < frames; ++k) {
        tracker.update(k * period, analyses[size_t(k) % analyses.size()]);
        passes += tracker.takePasses().size();
        for (const TrackState &track : tracker.tracks(k % 2))
            confirmed += track.confirmed;
    }
    const double seconds = threadSeconds() - started;
    if (confirmed == 0)
        std::fprintf(stderr, "radar_bench: the tracker confirmed no track\n");
    return 1e6 * seconds / frames;
}

// The vitals estimator alone on a breathing person's frames (made first, then fed again and again
// with the time going on at the line's pace): the circle's fit every frame, the spectrum every
// half second.
double vitalsMicrosecondsPerFrame(int mode, int samples, int frames)
{
    const RadarProfile profile = exampleRadarProfile();
    BoardModel model(mode ? SimMode::Fmcw : SimMode::Cw, samples, 3);
    SimScene scene;
    SimSceneTarget person;
    person.rangeM = 1.5;
    person.breathMm = 4.0;
    person.breathsPerMin = 15.0;
    person.levelDb = levelForSnr(20.0, samples);
    scene.targets.push_back(person);
    model.setScene(profile, scene);
    std::vector<frame_t> records(4096);
    for (size_t k = 0; k < records.size(); ++k) {
        const FrameValues values = model.frame(int64_t(k));
        records[k].modulation = values.mode;
        records[k].sample_count = samples;
        records[k].i_samples = values.i;
        records[k].q_samples = values.q;
    }
    VitalsEstimator estimator(profile, mode);
    estimator.setRange(1.5);
    const double period = model.framePeriodSeconds();
    int64_t rates = 0;
    VitalsReading reading;
    const double started = threadSeconds();
    for (int k = 0; k < frames; ++k) {
        // The recorded frames wrap round, the time goes on: no gap, no restart.
        estimator.add(records[size_t(k) % records.size()], k * period, &reading);
        rates += std::isnan(reading.breathsPerMin) ? 0 : 1;
    }
    const double seconds = threadSeconds() - started;
    if (rates == 0)
        std::fprintf(stderr, "radar_bench: the vitals estimator gave no rate\n");
    return 1e6 * seconds / frames;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const bool json = arguments.contains("--json");
    const bool smoke = arguments.contains("--smoke");
    const int scale = smoke ? 4 : 1;

    using Kind = RadarCase::Kind;
    std::vector<RadarCase> cases;
    for (int samples : {128, 16, 64, 255}) {
        cases.push_back({QStringLiteral("CW n=%1").arg(samples), Kind::Sweep, 0, samples});
        cases.push_back({QStringLiteral("FMCW n=%1").arg(samples), Kind::Sweep, 1, samples});
    }
    cases.push_back({"CW n=128 flipped", Kind::Sweep, 0, 128, true});
    cases.push_back({"CW pair", Kind::Pair, 0, 128, false, 40.0});
    cases.push_back({"FMCW pair", Kind::Pair, 1, 128, false, 40.0});
    // Cell-averaging, for comparison: the stronger target raises the weaker one's noise estimate.
    RadarSettings cellAveraging;
    cellAveraging.detector.cfar = CfarKind::CellAveraging;
    cases.push_back({"CW pair, CA", Kind::Pair, 0, 128, false, 40.0, 200, cellAveraging});
    cases.push_back({"CW pair 30/20 dB", Kind::Pair, 0, 128, false, 30.0});
    cases.push_back({"CW noise", Kind::Noise, 0, 128, false, 0.0, 10000});
    cases.push_back({"FMCW noise", Kind::Noise, 1, 128, false, 0.0, 10000});
    cases.push_back({"CW noise n=16", Kind::Noise, 0, 16, false, 0.0, 10000});
    cases.push_back({"FMCW noise n=255", Kind::Noise, 1, 255, false, 0.0, 10000});
    // Slow targets: within the zone around zero frequency nothing is reported, never a ghost.
    // (At 50 dB a tone of n = 16 no longer fits the ADC's range: clipped, it has harmonics.)
    for (int samples : {16, 128}) {
        for (double bins : {1.0, 1.5, 2.0}) {
            RadarCase slow(QStringLiteral("CW slow %1 n=%2").arg(bins).arg(samples), Kind::Slow, 0,
                samples, false, 40.0);
            slow.bins = bins;
            cases.push_back(slow);
        }
    }

    Figures figures;
    if (!json)
        std::printf("%-20s %7s %9s %9s %9s %8s %8s %8s\n", "case (20 dB)", "frames", "median",
            "worst", "direction", "found", "false", "snr dB");
    for (RadarCase &radarCase : cases) {
        radarCase.frames = std::max(radarCase.frames / scale, 50);
        radarCase.seed = 1000 + uint32_t(&radarCase - cases.data());
        const RadarScore score = scoreRadarCase(radarCase);
        if (!json)
            std::printf("%-20s %7d %9.4f %9.4f %9.3f %8.3f %8.4f %8.1f\n",
                qPrintable(radarCase.name), score.frames, score.medianErrorBins,
                score.worstErrorBins, score.directionRight, score.found, score.falseTargets,
                score.medianSnrDb);
        const QString key = QString(radarCase.name).replace(' ', '_').remove('=');
        if (radarCase.kind == Kind::Sweep) {
            figures.add(key + "_median_error", score.medianErrorBins, "bins");
            figures.add(key + "_worst_error", score.worstErrorBins, "bins");
        } else if (radarCase.kind == Kind::Slow) {
            figures.add(key + "_found", score.found, "of frames");
            figures.add(key + "_wrong_direction", score.wrongDirection, "of frames");
        } else if (radarCase.kind == Kind::Pair) {
            figures.add(key + "_found", score.found, "of frames");
        } else {
            figures.add(key + "_false_targets", score.falseTargets, "of frames");
        }
    }
    const RadarProfile profile = exampleRadarProfile();
    for (int samples : {16, 64, 128, 255}) {
        const double bins = RadarAnalyzer::blindBins(SpectrumWindow::Hann, samples);
        figures.add(QStringLiteral("blind_bins_n%1").arg(samples), bins, "bins (Hann)");
        figures.add(QStringLiteral("slowest_speed_n%1").arg(samples),
            std::abs(profile.speedForFrequency(bins * profile.sampleRateHz / samples)), "m/s");
        figures.add(QStringLiteral("nearest_range_n%1").arg(samples),
            profile.rangeForBeat(bins * profile.sampleRateHz / samples), "m");
    }
    figures.add("blind_bins_n128_blackman_harris",
        RadarAnalyzer::blindBins(SpectrumWindow::BlackmanHarris, 128), "bins");
    figures.add(
        "blind_bins_n128_no_window", RadarAnalyzer::blindBins(SpectrumWindow::None, 128), "bins");
    const int frames = smoke ? 2000 : 50000;
    for (int samples : {16, 64, 128, 255}) {
        figures.add(QStringLiteral("cw_n%1_cost").arg(samples),
            microsecondsPerFrame(samples, 0, frames), "us/frame (CPU)");
        figures.add(QStringLiteral("fmcw_n%1_cost").arg(samples),
            microsecondsPerFrame(samples, 1, frames), "us/frame (CPU)");
    }
    figures.add("tracking_cost", trackingMicrosecondsPerFrame(smoke ? 20000 : 500000),
        "us/frame (CPU)");
    for (int samples : {24, 128, 255}) {
        figures.add(QStringLiteral("vitals_cw_n%1_cost").arg(samples),
            vitalsMicrosecondsPerFrame(0, samples, smoke ? 20000 : 400000), "us/frame (CPU)");
        figures.add(QStringLiteral("vitals_fmcw_n%1_cost").arg(samples),
            vitalsMicrosecondsPerFrame(1, samples, smoke ? 20000 : 400000), "us/frame (CPU)");
    }
    // A person at rest against the simulator's truth, with the front end's offset and a standing
    // reflector; a walker passing and an empty room for the rows that wrongly give a rate.
    {
        SimFrontEnd front;
        front.dcI = 250.0;
        front.dcQ = -180.0;
        front.clutter = {{2.4, 0.0, 45.0}};
        auto personCase = [&](SimMode mode, int follow, double perMin, double heartMm) {
            VitalsCase c;
            SimSceneTarget person;
            person.rangeM = 1.5;
            person.breathMm = 4.0;
            person.breathsPerMin = perMin;
            person.heartMm = heartMm;
            person.heartPerMin = 72.0;
            person.swayMm = 1.0;
            person.levelDb = levelForSnr(20.0, 128);
            c.scene.targets.push_back(person);
            c.mode = mode;
            c.followMode = follow;
            c.frontEnd = front;
            c.rangeM = follow ? 1.5 : qQNaN();
            c.seconds = smoke ? 60.0 : 300.0;
            return c;
        };
        for (int follow : {0, 1}) {
            const char *name = follow ? "fmcw" : "cw";
            const VitalsScore breathing
                = scoreVitals(personCase(follow ? SimMode::Fmcw : SimMode::Cw, follow, 15.0, 0.0));
            figures.add(QStringLiteral("vitals_%1_rate_within_1").arg(name), breathing.rateWithin1,
                "of rows after 30 s (15/min, 4 mm, 20 dB)");
            figures.add(QStringLiteral("vitals_%1_rate_error").arg(name), breathing.medianRateError,
                "per minute (median)");
            figures.add(QStringLiteral("vitals_%1_swing_error").arg(name),
                breathing.swingMm / breathing.truthSwingMm - 1.0, "of the true swing");
            figures.add(QStringLiteral("vitals_%1_quality").arg(name), breathing.medianQuality,
                "(median)");
        }
        for (double perMin : {8.0, 30.0}) {
            const VitalsScore score = scoreVitals(personCase(SimMode::Cw, 0, perMin, 0.0));
            figures.add(QStringLiteral("vitals_cw_%1_per_min_within_1").arg(perMin),
                score.rateWithin1, "of rows after 30 s");
        }
        const VitalsScore heart = scoreVitals(personCase(SimMode::Cw, 0, 15.0, 0.3));
        figures.add("vitals_cw_heart_within_5", heart.heartWithin5,
            "of rows after 30 s (0.3 mm, 72/min)");
        for (int follow : {0, 1}) {
            VitalsCase empty = personCase(follow ? SimMode::Fmcw : SimMode::Cw, follow, 15.0, 0.0);
            empty.scene = SimScene();
            empty.scoredFromS = 0.0;
            figures.add(QStringLiteral("vitals_%1_no_one_rates").arg(follow ? "fmcw" : "cw"),
                scoreVitals(empty).rateRows, "of rows");
            empty.scene = sceneFrom(R"({"targets": [
                {"start_s": 0, "end_s": 16, "range_m": 9.7, "speed_mps": -1.2, "lateral_m": 1},
                {"start_s": 16, "end_s": 32, "range_m": 9.7, "speed_mps": -1.2, "lateral_m": 1},
                {"start_s": 32, "end_s": 48, "range_m": 9.7, "speed_mps": -1.2, "lateral_m": 1},
                {"start_s": 48, "end_s": 64, "range_m": 9.7, "speed_mps": -1.2, "lateral_m": 1}]})");
            empty.seconds = 64.0;
            figures.add(QStringLiteral("vitals_%1_walker_rates").arg(follow ? "fmcw" : "cw"),
                scoreVitals(empty).rateRows, "of rows");
        }
    }
    // Scenes through the analysis and the tracker, against the simulator's truth.
    {
        SceneCase road;
        QFile file(QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/road-scene.json"));
        if (file.open(QIODevice::ReadOnly))
            road.scene = sceneFrom(file.readAll());
        const SceneScore cars = scoreScene(road);
        figures.add("road_cars", road.scene.targets.size(), "cars (CW, n = 128)");
        figures.add("road_passes", cars.passes, "passes");
        figures.add("road_missed", cars.missedTargets, "cars without a pass");
        figures.add("road_number_changes", cars.numberChanges, "track number changes");
        figures.add("road_worst_speed_error", cars.worstSpeedErrorBins, "bins (largest speed)");
        SceneCase walker;
        walker.mode = SimMode::Alternate;
        walker.scene = sceneFrom(R"({"duration_s": 23, "targets": [
            {"start_s": 0, "end_s": 22.5, "range_m": 30, "speed_mps": -1.2, "level_db": 40}]})");
        walker.frontEnd.dcI = 300.0;
        walker.frontEnd.dcQ = -200.0;
        walker.frontEnd.clutter = {{15.0, 0.0, 50.0}};
        const SceneScore walking = scoreScene(walker);
        figures.add("walker_cw_tracks", walking.trackNumbers[0], "tracks (30 m to 3 m at 1.2 m/s)");
        figures.add("walker_fmcw_tracks", walking.trackNumbers[1], "tracks (the walker, a standing echo)");
        figures.add("walker_range_error", walking.medianRangeErrorBins, "bins (median, Doppler taken out)");
        figures.add("walker_range_error_as_measured", walking.medianRangeErrorUncorrectedBins,
            "bins (median, without)");
        figures.add("walker_tied", walking.tiedRows, "of its FMCW rows");
        SceneCase presence;
        presence.scene = sceneFrom(R"({"duration_s": 50, "targets": [
            {"start_s": 10, "end_s": 40, "range_m": 45, "speed_mps": -1.2, "level_db": 35}]})");
        const SceneScore present = scoreScene(presence);
        figures.add("presence_came_after", present.presentAt - 10.0, "s (walker in view 10 to 40 s)");
        figures.add("presence_went_after", present.absentAt - 40.0, "s (hold 3 s)");
    }
    figures.print("radar analysis: errors in board bins, cost per frame", json);
    return 0;
}

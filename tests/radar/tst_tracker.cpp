// SPDX-License-Identifier: MIT
// The tracker: frames of targets in, tracks, passes and presence out. First its bookkeeping on
// targets placed by hand, then whole moving scenes from the simulator, through the analysis, held
// against the simulator's truth.
#include "boardmodel.h"
#include "radaranalyzer.h"
#include "radartruth.h"
#include "scenetruth.h"
#include "targettracker.h"

#include <QtTest>

#include <cmath>
#include <random>

namespace {

// Something the detector reports from `startS` to `endS`: a speed (CW) or a range (FMCW) that
// changes by `rate` a second, in the frames of its mode, missed in every `missEvery`th one.
struct Mover {
    int mode = 0;
    double startS = 0.0;
    double endS = 0.0;
    double value = 0.0;
    double rate = 0.0;
    int missEvery = 0;
};

} // namespace

Q_DECLARE_METATYPE(std::vector<Mover>)

class TestTracker : public QObject {
    Q_OBJECT

private slots:
    void bookkeeping_data()
    {
        QTest::addColumn<bool>("alternate");
        QTest::addColumn<std::vector<Mover>>("movers");
        QTest::addColumn<double>("noisePerFrame"); // single-frame false targets
        QTest::addColumn<double>("rewindAtS"); // time goes back to 0 here (0: never)
        QTest::addColumn<int>("passes");
        QTest::addColumn<int>("highestId");

        // A car approaching at 20 m/s and another at 12 m/s a while later, overlapping it.
        QTest::newRow("CW: two cars overlapping, missed now and then")
            << false << std::vector<Mover>{{0, 1.0, 6.0, -20.0, 0.2, 7}, {0, 4.0, 9.0, -12.0, -0.1, 5}}
            << 0.0 << 0.0 << 2 << 2;
        QTest::newRow("CW: noise alone makes no track") << false << std::vector<Mover>{} << 0.05 << 0.0
                                                        << 0 << 0;
        QTest::newRow("CW: a car among noise keeps its number")
            << false << std::vector<Mover>{{0, 0.5, 8.0, 15.0, 0.0, 0}} << 0.05 << 0.0 << 1 << 1;
        QTest::newRow("CW: time goes back, the pass before ends there, numbers go on")
            << false << std::vector<Mover>{{0, 1.0, 9.0, -25.0, 0.0, 0}} << 0.0 << 5.0 << 2 << 2;
        // A car whose CW hits end while its FMCW ones go on, and another at nearly its speed a
        // second later: a tied CW track ends after its misses as any other, the second car is
        // a track of its own.
        QTest::newRow("alternating: a tied CW track ends after its misses")
            << true
            << std::vector<Mover>{{0, 0.0, 4.0, -10.0, 0.0, 0}, {1, 0.0, 7.0, 60.0, -10.0, 0}, {0, 5.0, 9.0, -10.5, 0.0, 0}}
            << 0.0 << 0.0 << 3 << 3;
        // A walker coming closer at 1.2 m/s, read by both modes: one pass each, tied.
        QTest::newRow("alternating: a walker's CW and FMCW tracks tied")
            << true
            << std::vector<Mover>{{0, 0.0, 10.0, -1.2, 0.0, 0}, {1, 0.0, 10.0, 20.0, -1.2, 0}, {1, 0.0, 10.0, 8.0, 0.0, 0}}
            << 0.0 << 0.0 << 3 << 3;
    }

    // Targets placed by hand at the line's frame rate: each mover is one track with one number
    // for its whole life, confirmed by its third hit; noise confirms nothing; a pass's largest
    // speed and direction are the mover's; a tied FMCW track reads its range without the
    // Doppler shift.
    void bookkeeping()
    {
        QFETCH(bool, alternate);
        QFETCH(std::vector<Mover>, movers);
        QFETCH(double, noisePerFrame);
        QFETCH(double, rewindAtS);
        QFETCH(int, passes);
        QFETCH(int, highestId);
        const RadarProfile profile = exampleRadarProfile();
        const int n = 128;
        const double period = BoardModel::linePeriod(n);
        const double speedBin = std::abs(profile.speedForFrequency(profile.sampleRateHz / n));
        const double rangeBin = profile.rangeForBeat(profile.sampleRateHz / n) - profile.rangeForBeat(0);
        // Where the beat tone puts a target moving at `speed`: chirp * v * fc / slope too far.
        const auto shift = [&](double speed) {
            return profile.chirp() * speed * profile.carrierHz / profile.sweepSlope();
        };
        TargetTracker tracker(profile);
        std::mt19937 random(3);
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        std::normal_distribution<double> jitter(0.0, 0.03);
        std::vector<TrackPass> ended;
        int restarts = 0;
        int highest = 0;
        bool tiedChecked = false;
        const double endS = 12.0;
        double offset = 0.0;
        for (int index = 0;; ++index) {
            double t = index * period - offset;
            if (rewindAtS > 0.0 && offset == 0.0 && t >= rewindAtS) {
                offset = index * period;
                t = 0.0;
            }
            if (index * period > endS + (offset > 0.0 ? rewindAtS : 0.0))
                break;
            const int mode = alternate ? index % 2 : 0;
            RadarAnalysis analysis;
            analysis.spectrum.mode = mode;
            analysis.spectrum.axis = mode ? RadarSpectrum::Axis::Range : RadarSpectrum::Axis::Speed;
            analysis.spectrum.samples = n;
            analysis.spectrum.cellsPerBin = 4.0;
            analysis.spectrum.step = (mode ? rangeBin : speedBin) / 4.0;
            for (const Mover &mover : movers) {
                const double moverT = t + (offset > 0.0 ? rewindAtS : 0.0);
                if (mover.mode != mode || moverT < mover.startS || moverT > mover.endS)
                    continue;
                if (mover.missEvery > 0 && index % mover.missEvery == 0)
                    continue;
                RadarTarget target;
                const double value = mover.value + mover.rate * (moverT - mover.startS);
                const double bin = mode ? rangeBin : speedBin;
                (mode ? target.rangeM : target.speedMps)
                    = value + (mode ? shift(mover.rate) : 0.0) + jitter(random) * bin;
                target.levelDb = 50.0;
                analysis.targets.push_back(target);
            }
            if (uniform(random) < noisePerFrame) {
                RadarTarget target;
                (mode ? target.rangeM : target.speedMps) = (uniform(random) - 0.5) * 80.0;
                analysis.targets.push_back(target);
            }
            restarts += tracker.update(t, analysis);
            for (const TrackPass &pass : tracker.takePasses())
                ended.push_back(pass);
            for (int m = 0; m < 2; ++m) {
                for (const TrackState &track : tracker.tracks(m)) {
                    highest = std::max(highest, track.id);
                    QCOMPARE(track.confirmed, track.id > 0);
                    // A moving FMCW mover whose CW speed has been in view for 3 s: tied, its
                    // range as it is.
                    double truth = qInf();
                    for (const Mover &fmcw : movers)
                        for (const Mover &cw : movers)
                            if (fmcw.mode == 1 && cw.mode == 0 && fmcw.rate != 0.0
                                && cw.value == fmcw.rate && t > cw.startS + 3.0 && t < cw.endS)
                                truth = fmcw.value + fmcw.rate * (t - fmcw.startS);
                    if (m == 1 && track.confirmed && track.hit && std::isfinite(truth)
                        && track.speedMps < -0.5) {
                        QCOMPARE(track.tiedTo > 0, true);
                        QVERIFY2(std::abs(track.rangeM - truth) < 0.25 * rangeBin,
                            qPrintable(QStringLiteral("%1 m for %2 m").arg(track.rangeM).arg(truth)));
                        tiedChecked = true;
                    }
                }
            }
        }
        tracker.finish();
        for (const TrackPass &pass : tracker.takePasses())
            ended.push_back(pass);
        QCOMPARE(restarts, rewindAtS > 0.0 ? 1 : 0);
        QCOMPARE(int(ended.size()), passes);
        QCOMPARE(highest, highestId);
        QCOMPARE(tiedChecked, alternate);
        for (const TrackPass &pass : ended) {
            QVERIFY(pass.frames >= 3);
            if (pass.mode != 0)
                continue;
            // The mover whose speed the pass holds: its largest speed within 0.25 bin.
            bool matched = false;
            for (const Mover &mover : movers) {
                const double largest = std::max(std::abs(mover.value),
                    std::abs(mover.value + mover.rate * (mover.endS - mover.startS)));
                if (mover.mode == 0 && std::abs(pass.maxSpeedMps - largest) < 0.25 * speedBin) {
                    matched = true;
                    QCOMPARE(pass.direction, mover.value < 0 ? -1 : 1);
                }
            }
            QVERIFY2(matched, qPrintable(QString::number(pass.maxSpeedMps)));
        }
    }

    void scenesAgainstTheTruth_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("scene");
        QTest::addColumn<int>("samples");
        QTest::addColumn<bool>("frontEnd"); // an offset that wanders and a standing echo
        QFile road(QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/road-scene.json"));
        QVERIFY(road.open(QIODevice::ReadOnly));
        const QByteArray cars = road.readAll();
        QTest::newRow("road: 20 cars, CW n=128") << "road" << cars << 128 << false;
        QTest::newRow("road: 20 cars, CW n=200, real front end") << "road" << cars << 200 << true;
        QTest::newRow("road: 20 cars, CW n=255") << "road" << cars << 255 << false;
        const QByteArray walker = R"({"duration_s": 23, "targets": [
            {"start_s": 0, "end_s": 22.5, "range_m": 30, "speed_mps": -1.2, "level_db": 40}]})";
        QTest::newRow("walker 30 m to 3 m, alternating n=128") << "walker" << walker << 128 << false;
        QTest::newRow("walker, alternating n=100, real front end") << "walker" << walker << 100 << true;
        QTest::newRow("presence: a walker from 10 s to 40 s, CW n=128")
            << "presence" << QByteArray(R"({"duration_s": 50, "targets": [
                {"start_s": 10, "end_s": 40, "range_m": 45, "speed_mps": -1.2, "level_db": 35}]})")
            << 128 << true;
        QTest::newRow("presence: 10 minutes of noise, alternating n=128")
            << "noise" << QByteArray(R"({"duration_s": 600, "targets": []})") << 128 << true;
    }

    // Frames of a moving scene through the analysis and the tracker: every car one pass with its
    // largest speed and direction, at most one track number change in all; a walker one track
    // in each mode, tied, its range read with the Doppler shift taken out; presence within a
    // second of a walker coming in and within the hold time and a second of it going; none in
    // noise.
    void scenesAgainstTheTruth()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, scene);
        QFETCH(int, samples);
        QFETCH(bool, frontEnd);
        SceneCase sceneCase;
        sceneCase.scene = sceneFrom(scene);
        QVERIFY(sceneCase.scene.durationS > 0.0);
        sceneCase.samples = samples;
        sceneCase.mode = kind == "walker" || kind == "noise" ? SimMode::Alternate : SimMode::Cw;
        sceneCase.seed = uint32_t(samples);
        if (frontEnd) {
            sceneCase.frontEnd.dcI = 300.0;
            sceneCase.frontEnd.dcQ = -200.0;
            sceneCase.frontEnd.dcDriftPerS = 1.0;
            sceneCase.frontEnd.clutter = {{15.0, 0.0, 50.0}};
        }
        const SceneScore score = scoreScene(sceneCase);
        const QString figures = QStringLiteral(
            "passes %1, false %2, missed %3, number changes %4, wrong directions %5, worst speed "
            "%6 bin, range median %7 bin (as measured %8), tied %9, tracks %10/%11, presence "
            "%12 to %13 (%14 changes)")
                                    .arg(score.passes)
                                    .arg(score.falsePasses)
                                    .arg(score.missedTargets)
                                    .arg(score.numberChanges)
                                    .arg(score.wrongDirections)
                                    .arg(score.worstSpeedErrorBins)
                                    .arg(score.medianRangeErrorBins)
                                    .arg(score.medianRangeErrorUncorrectedBins)
                                    .arg(score.tiedRows)
                                    .arg(score.trackNumbers[0])
                                    .arg(score.trackNumbers[1])
                                    .arg(score.presentAt)
                                    .arg(score.absentAt)
                                    .arg(score.presenceChanges);
        const bool held = kind == "road"
            ? score.passes == 20 && score.missedTargets == 0 && score.falsePasses == 0
                && score.numberChanges <= 1 && score.wrongDirections == 0
                && score.worstSpeedErrorBins <= 0.25
            : kind == "walker"
            ? score.trackNumbers[0] == 1 && score.trackNumbers[1] == (frontEnd ? 2 : 1)
                && score.tiedRows > 0.8 && score.medianRangeErrorBins <= 0.5
            : kind == "presence"
            ? score.presenceChanges == 2 && score.presentAt >= 10.0 && score.presentAt <= 11.0
                && score.absentAt >= 40.0
                && score.absentAt <= 40.0 + sceneCase.tracking.presenceHoldSeconds + 1.0
            : score.presenceChanges == 0 && score.passes == 0;
        QVERIFY2(held, qPrintable(figures));
    }

    // Presence follows a confirmed moving track and is held after it; a standing echo is not
    // presence.
    void presenceIsHeld()
    {
        const RadarProfile profile = exampleRadarProfile();
        TrackerSettings settings;
        settings.presenceHoldSeconds = 2.0;
        TargetTracker tracker(profile, settings);
        const double period = BoardModel::linePeriod(100);
        double cameAt = qQNaN(), wentAt = qQNaN();
        for (int index = 0; index * period < 20.0; ++index) {
            const double t = index * period;
            RadarAnalysis analysis;
            analysis.spectrum.mode = 1;
            analysis.spectrum.samples = 100;
            analysis.spectrum.cellsPerBin = 4.0;
            analysis.spectrum.step = 0.2;
            RadarTarget wall;
            wall.rangeM = 15.0;
            analysis.targets.push_back(wall);
            if (t >= 5.0 && t < 10.0) {
                RadarTarget walker;
                walker.rangeM = 12.0 - 1.0 * (t - 5.0);
                analysis.targets.push_back(walker);
            }
            const bool was = tracker.present();
            tracker.update(t, analysis);
            if (!was && tracker.present())
                cameAt = tracker.presenceChangedAt();
            if (was && !tracker.present())
                wentAt = tracker.presenceChangedAt();
        }
        QVERIFY2(cameAt >= 5.0 && cameAt < 5.5, qPrintable(QString::number(cameAt)));
        QVERIFY2(wentAt >= 11.9 && wentAt < 12.5, qPrintable(QString::number(wentAt)));
    }
};

QTEST_GUILESS_MAIN(TestTracker)
#include "tst_tracker.moc"

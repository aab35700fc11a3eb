// SPDX-License-Identifier: MIT
// The radar view on the offscreen platform against the simulator's truth: what its readout says
// and where its markers stand in its picture, its two panes for a board that alternates, a
// profile the form refuses, and a replay of a recording made with a profile beside it, which must
// say what vazorez-decode --targets says of the same frames.
#include "boardmodel.h"
#include "framesupport.h"
#include "micromotionpane.h"
#include "profilefile.h"
#include "qtwarnings.h"
#include "radarplot.h"
#include "radarprofileform.h"
#include "radarreadout.h"
#include "radartruth.h"
#include "radarviewwindow.h"
#include "replaysource.h"
#include "serialport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <map>

namespace {

struct Scene {
    SimMode mode = SimMode::Cw;
    int samples = 128;
    std::vector<SimTarget> targets;
    bool flipApproaching = false;
};

RadarProfile sceneProfile(const Scene &scene)
{
    RadarProfile profile = exampleRadarProfile();
    if (scene.flipApproaching)
        profile.approachingSign = -profile.approachingSign;
    return profile;
}

// Frames of the scene as a board at the line's rate would send them, with their times.
void feed(RadarViewWindow &window, const Scene &scene, int frames)
{
    BoardModel board(scene.mode, scene.samples, 7);
    board.setRadarScene(sceneProfile(scene), scene.targets);
    FrameTap *tap = window.frameTap();
    tap->linkOpened({QStringLiteral("simulated board"), {}});
    const double period = (4 * scene.samples + 7) / 11520.0;
    for (int k = 0; k < frames; ++k)
        tap->frameDecoded(expectedRecord(board.frame(k)), nullptr, 0, (k + 1) * period);
}

// The column of the plot's picture where most marker pixels stand within the spectrum of `mode`.
int markerColumn(const QImage &image, const QRect &area)
{
    int best = -1, bestCount = 0;
    for (int x = area.left(); x <= area.right(); ++x) {
        int count = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            count += image.pixel(x, y) == RadarPlot::kMarkerColour.rgb() ? 1 : 0;
        if (count > bestCount) {
            bestCount = count;
            best = x;
        }
    }
    return best;
}

double expectedColumn(const RadarPlot &plot, int mode, double value)
{
    const QRect area = plot.spectrumRect(mode);
    return area.left()
        + (value - plot.axisLow(mode)) / (plot.axisHigh(mode) - plot.axisLow(mode)) * area.width();
}

// The first number of a readout line and its unit: "7.48 m/s approaching, ..." gives 7.48.
double firstNumber(const QString &line)
{
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("(-?[0-9]+\\.[0-9]+)")).match(line);
    return match.hasMatch() ? match.captured(1).toDouble() : qQNaN();
}

// The spread in dB of the spectrum's noise floor: away from zero and from the targets given.
double floorSpread(const RadarSpectrum &spectrum, const QList<double> &targets)
{
    double sum = 0.0, squares = 0.0;
    int cells = 0;
    for (size_t cell = 0; cell < spectrum.db.size(); ++cell) {
        const double value = spectrum.at(double(cell));
        bool near = std::abs(value) < 2.0 * spectrum.binWidth();
        for (double target : targets)
            near = near || std::abs(value - target) < 4.0 * spectrum.binWidth();
        if (near)
            continue;
        sum += spectrum.db[cell];
        squares += double(spectrum.db[cell]) * spectrum.db[cell];
        ++cells;
    }
    const double mean = sum / std::max(cells, 1);
    return std::sqrt(std::max(squares / std::max(cells, 1) - mean * mean, 0.0));
}

// Whether a target of the pane stands within a board bin of `value` (m/s for CW, m for FMCW).
bool hasTargetAt(const RadarPlot::Pane &pane, double value)
{
    for (const RadarTarget &target : pane.analysis.targets) {
        const double at = std::isnan(target.speedMps) ? target.rangeM : target.speedMps;
        if (std::abs(at - value) < pane.analysis.spectrum.binWidth())
            return true;
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Scene)
Q_DECLARE_METATYPE(SimMode)
Q_DECLARE_METATYPE(std::vector<SimTarget>)

class TestRadarView : public QObject {
    Q_OBJECT

    QTemporaryDir settingsHome;

private slots:
    void initTestCase()
    {
        // The remembered profile goes to a settings file of the test's, not the user's.
        QVERIFY(settingsHome.isValid());
        qputenv("XDG_CONFIG_HOME", settingsHome.path().toLocal8Bit());
        watchQtWarnings(WarningWatch::ThreadsAndNotifiers);
    }

    void readoutAndMarkers_data()
    {
        QTest::addColumn<Scene>("scene");
        QTest::addColumn<QStringList>("expected"); // per pane shown, CW first: the readout's start
        QTest::addColumn<bool>("background"); // the view's background subtraction on
        const SimTarget approaching{12.0, -7.5, 50.0};
        const SimTarget receding{25.0, 4.0, 50.0};
        QTest::newRow("CW approaching, n 128: left of zero, 'approaching'") << Scene{SimMode::Cw,
            128, {approaching}} << QStringList{"CW  7.5 m/s approaching"} << false;
        QTest::newRow("CW receding, n 128: right of zero, 'receding'")
            << Scene{SimMode::Cw, 128, {receding}} << QStringList{"CW  4.0 m/s receding"} << false;
        QTest::newRow("approaching read as positive Doppler: still approaching")
            << Scene{SimMode::Cw, 128, {approaching}, true}
            << QStringList{"CW  7.5 m/s approaching"} << false;
        QTest::newRow("CW n 255, the longest frame")
            << Scene{SimMode::Cw, 255, {receding}} << QStringList{"CW  4.0 m/s receding"} << false;
        QTest::newRow("CW n 24, a short frame") << Scene{SimMode::Cw, 24, {{0, -20.0, 50.0}}}
                                                << QStringList{"CW  20.0 m/s approaching"} << false;
        QTest::newRow("FMCW n 64: range") << Scene{SimMode::Fmcw, 64, {{12.0, 0.0, 50.0}}}
                                          << QStringList{"FMCW  12.0 m"} << false;
        QTest::newRow("alternating board: two panes, each its own mode")
            << Scene{SimMode::Alternate, 128, {approaching}}
            << QStringList{"CW  7.5 m/s approaching", "FMCW  16.6 m"}
            << false; // the range holds the Doppler

        QTest::newRow("a walker too slow to report: said, no marker")
            << Scene{SimMode::Cw, 128, {{0.0, -0.4, 50.0}}}
            << QStringList{"CW  slow motion below 0.73 m/s"} << false;
        QTest::newRow("noise alone: 'no target'")
            << Scene{SimMode::Cw, 16, {}} << QStringList{"CW  no target"} << false;
        QTest::newRow("background on: a target standing still is learnt away")
            << Scene{SimMode::Fmcw, 64, {{12.0, 0.0, 50.0}}} << QStringList{"FMCW  no target"}
            << true;
        QTest::newRow("background on: a moving target stays")
            << Scene{SimMode::Cw, 128, {approaching}} << QStringList{"CW  7.5 m/s approaching"}
            << true;
    }

    // The readout and the markers against the truth: the marker's column in the picture is where
    // the target's value lies on the axis, within a board bin.
    void readoutAndMarkers()
    {
        QFETCH(Scene, scene);
        QFETCH(QStringList, expected);
        QFETCH(bool, background);
        RadarViewWindow window;
        window.applyProfile(sceneProfile(scene), false);
        window.findChild<QCheckBox *>("backgroundCheck")->setChecked(background);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const int frames = 40;
        feed(window, scene, frames);
        QTRY_COMPARE(window.shownFrame(), int64_t(frames - 1));
        const RadarPlot &plot = *window.plot();
        const QImage image = window.plot()->grab().toImage();
        int panes = 0;
        for (int mode = 0; mode < 2; ++mode) {
            if (plot.spectrumRect(mode).isEmpty())
                continue;
            QVERIFY2(panes < expected.size(), "a pane for a modulation the board did not send");
            const QString readout = readoutText(plot.pane(mode).analysis);
            const QString &want = expected[panes++];
            const QString title = mode ? QStringLiteral("FMCW  ") : QStringLiteral("CW  ");
            QVERIFY2(want.startsWith(title), qPrintable(want));
            const QString wantText = want.mid(title.size());
            const double wantNumber = firstNumber(wantText);
            if (std::isnan(wantNumber) || wantText.startsWith("slow")) {
                QCOMPARE(readout, wantText);
                QCOMPARE(markerColumn(image, plot.spectrumRect(mode)), -1);
                continue;
            }
            const QString first = readout.section('\n', 0, 0);
            // One board bin: 0.971 m/s or 0.600 m at n = 128, coarser for shorter frames.
            const double bin = (mode ? 76.8 : 124.2) / scene.samples;
            QVERIFY2(std::abs(firstNumber(first) - wantNumber) < bin, qPrintable(first));
            QVERIFY2(
                first.contains(wantText.section(' ', 1, 2).section(',', 0, 0)), qPrintable(first));
            const double truth
                = mode ? wantNumber : (wantText.contains("approaching") ? -wantNumber : wantNumber);
            const double column = expectedColumn(plot, mode, truth);
            const double binPixels = bin / (plot.axisHigh(mode) - plot.axisLow(mode))
                * plot.spectrumRect(mode).width();
            QVERIFY2(
                std::abs(markerColumn(image, plot.spectrumRect(mode)) - column) <= binPixels + 2,
                qPrintable(QStringLiteral("marker at %1, truth at %2")
                               .arg(markerColumn(image, plot.spectrumRect(mode)))
                               .arg(column)));
            // The track plot's model: a confirmed track at the target, numbered at its head (the
            // scene's range stands still while its speed is not zero: no tie, the Doppler kept).
            const double tracked = truth;
            bool numbered = false;
            for (const RadarPlot::TrackMark &mark : plot.trackMarks(mode))
                numbered = numbered
                    || (mark.confirmed && mark.id > 0 && std::abs(mark.value - tracked) < bin
                        && plot.historyRect(mode)
                               .adjusted(-1, -1, 1, 1)
                               .contains(mark.at.toPoint()));
            QString marks;
            for (const RadarPlot::TrackMark &mark : plot.trackMarks(mode))
                marks += QStringLiteral(" %1%2 at %3")
                             .arg(mark.id)
                             .arg(mark.confirmed ? "" : "?")
                             .arg(mark.value);
            QVERIFY2(numbered,
                qPrintable(
                    QStringLiteral("mode %1, want %2:%3").arg(mode).arg(tracked).arg(marks)));
        }
        QCOMPARE(panes, expected.size());
        if (qEnvironmentVariableIsSet("RADARVIEW_PICTURE")) // for looking at it
            window.grab().save(
                qEnvironmentVariable("RADARVIEW_PICTURE") + QTest::currentDataTag() + ".png");
        QVERIFY(window.readoutText().contains(
            expected.first().section("  ", 1).section(' ', 1, 2).section(',', 0, 0)));
        // The pause freezes the picture: frames go on being analysed, none is drawn.
        window.setPaused(true);
        QVERIFY(!window.isDraining());
        window.setPaused(false);
        QVERIFY(window.isDraining());
    }

    void processing_data()
    {
        QTest::addColumn<SimMode>("mode");
        QTest::addColumn<int>("samples");
        QTest::addColumn<int>("averaging");
        QTest::addColumn<bool>("hold");
        QTest::addColumn<bool>("background");
        QTest::addColumn<std::vector<SimTarget>>("first"); // the scene's first 40 frames
        QTest::addColumn<std::vector<SimTarget>>("then"); // the next 40, and one after the press
        QTest::addColumn<QString>("press"); // the button pressed after frame 80
        QTest::addColumn<QList<double>>("present"); // where targets stand in the last frame
        QTest::addColumn<QList<double>>("absent"); // where none may
        QTest::addColumn<double>("spreadAtLeast"); // the noise floor's spread in dB
        QTest::addColumn<double>("spreadAtMost");
        const std::vector<SimTarget> walker{{12.0, -7.5, 50.0}}, left{{0.0, -20.0, 50.0}},
            right{{0.0, 15.0, 50.0}}, standing{{12.0, 0.0, 50.0}};
        QTest::newRow("averaging off: the noise floor spreads")
            << SimMode::Cw << 128 << 1 << false << false << walker << walker << QString()
            << QList<double>{-7.5} << QList<double>{} << 4.0 << 99.0;
        QTest::newRow("averaging 16 frames: the spread shrinks, a steady target stays")
            << SimMode::Cw << 128 << 16 << false << false << walker << walker << QString()
            << QList<double>{-7.5} << QList<double>{} << 0.0 << 2.0;
        QTest::newRow("max-hold, n 64: a target that moved away still shows its peak")
            << SimMode::Cw << 64 << 1 << true << false << left << right << QString()
            << QList<double>{-20.0, 15.0} << QList<double>{} << 0.0 << 99.0;
        QTest::newRow("max-hold Reset: the old peak goes, the averaging goes on")
            << SimMode::Cw << 128 << 4 << true << false << left << right << "maxHoldReset"
            << QList<double>{15.0} << QList<double>{-20.0} << 0.0 << 3.5;
        QTest::newRow("max-hold Reset, n 24: the background stays learnt")
            << SimMode::Fmcw << 24 << 1 << true << true << standing << standing << "maxHoldReset"
            << QList<double>{} << QList<double>{12.0} << 0.0 << 99.0;
        QTest::newRow("Learn now, n 64: the background anew, the averaging goes on")
            << SimMode::Fmcw << 64 << 4 << false << true << standing << standing
            << "backgroundLearn" << QList<double>{12.0} << QList<double>{} << 0.0 << 3.5;
    }

    // Averaging, max-hold and background as the view shows them; Reset and Learn now forget only
    // what they name.
    void processing()
    {
        QFETCH(SimMode, mode);
        QFETCH(int, samples);
        QFETCH(int, averaging);
        QFETCH(bool, hold);
        QFETCH(bool, background);
        QFETCH(std::vector<SimTarget>, first);
        QFETCH(std::vector<SimTarget>, then);
        QFETCH(QString, press);
        QFETCH(QList<double>, present);
        QFETCH(QList<double>, absent);
        QFETCH(double, spreadAtLeast);
        QFETCH(double, spreadAtMost);
        RadarViewWindow window;
        const RadarProfile profile = exampleRadarProfile();
        window.applyProfile(profile, false);
        window.findChild<QSpinBox *>("averagingSpin")->setValue(averaging);
        window.findChild<QCheckBox *>("maxHoldCheck")->setChecked(hold);
        window.findChild<QCheckBox *>("backgroundCheck")->setChecked(background);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        BoardModel board(mode, samples, 21);
        FrameTap *tap = window.frameTap();
        tap->linkOpened({QStringLiteral("simulated board"), {}});
        const double period = (4 * samples + 7) / 11520.0;
        int frame = 0;
        const auto play = [&](const std::vector<SimTarget> &targets, int frames) {
            board.setRadarScene(profile, targets);
            for (int k = 0; k < frames; ++k, ++frame)
                tap->frameDecoded(expectedRecord(board.frame(frame)), nullptr, 0, frame * period);
        };
        play(first, 40);
        play(then, 40);
        if (!press.isEmpty()) {
            QTRY_COMPARE(window.shownFrame(), int64_t(frame - 1));
            window.findChild<QPushButton *>(press)->click();
            play(then, 1);
        }
        QTRY_COMPARE(window.shownFrame(), int64_t(frame - 1));
        const RadarPlot::Pane &pane = window.plot()->pane(mode == SimMode::Fmcw ? 1 : 0);
        const QString readout = readoutText(pane.analysis.targets);
        for (double value : present)
            QVERIFY2(hasTargetAt(pane, value), qPrintable(QString::number(value) + ": " + readout));
        for (double value : absent)
            QVERIFY2(
                !hasTargetAt(pane, value), qPrintable(QString::number(value) + ": " + readout));
        QList<double> targets = present + absent;
        const double spread = floorSpread(pane.analysis.spectrum, targets);
        QVERIFY2(spread >= spreadAtLeast && spread <= spreadAtMost,
            qPrintable(QStringLiteral("spread %1 dB").arg(spread)));
        // Neither button starts the tracks afresh: only the link's opening did.
        QTRY_COMPARE(window.plot()->tracking().generation, int64_t(1));
    }

    void savePicture_data()
    {
        QTest::addColumn<QString>("name"); // in a fresh folder
        QTest::addColumn<bool>("written");
        QTest::newRow("a PNG of the picture's size, not blank") << "view.png" << true;
        QTest::newRow("a folder that does not exist: refused, named")
            << "missing/view.png" << false;
        QTest::newRow("a folder in the way: refused, named") << "." << false;
    }

    void savePicture()
    {
        QFETCH(QString, name);
        QFETCH(bool, written);
        QTemporaryDir directory;
        RadarViewWindow window;
        window.applyProfile(exampleRadarProfile(), false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        feed(window, Scene{SimMode::Cw, 64, {{12.0, -7.5, 50.0}}}, 20);
        QTRY_COMPARE(window.shownFrame(), int64_t(19));
        const QString path = directory.filePath(name);
        QString error;
        QCOMPARE(window.savePicture(path, &error), written);
        if (!written) {
            QVERIFY2(
                error.contains(QDir::cleanPath(path)) || error.contains(path), qPrintable(error));
            return;
        }
        QImage image;
        QVERIFY(image.load(path, "PNG"));
        QCOMPARE(image.size(), window.plot()->size() * window.plot()->devicePixelRatioF());
        // The spectrum's marker is in it, beside the white of the background and the axes' black.
        QVERIFY(markerColumn(image, window.plot()->spectrumRect(0)) >= 0);
    }

    void trackGaps_data()
    {
        QTest::addColumn<double>("gapFrom");
        QTest::addColumn<double>("gapTo");
        QTest::addColumn<bool>("silent"); // no frames at all in the gap, rather than no target
        QTest::newRow("no target from -6 s to -4 s") << -6.0 << -4.0 << false;
        QTest::newRow("no frames for 2 s") << -6.0 << -4.0 << true;
        QTest::newRow("no target for 0.8 s") << -3.0 << -2.2 << false;
    }

    // The trails of an alternating board at the line's rate: a mode's frames come 0.18 s apart,
    // which is no gap; frames without a target, or no frames, for more than half a second are.
    void trackGaps()
    {
        QFETCH(double, gapFrom);
        QFETCH(double, gapTo);
        QFETCH(bool, silent);
        RadarViewWindow window;
        window.applyProfile(exampleRadarProfile(), false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        BoardModel board(SimMode::Alternate, 128, 9);
        const double period = (4 * 128 + 7) / 11520.0, seconds = 10.0;
        const int frames = int(seconds / period);
        FrameTap *tap = window.frameTap();
        tap->linkOpened({QStringLiteral("simulated board"), {}});
        int64_t delivered = 0;
        for (int k = 0; k < frames; ++k) {
            const double time = (k + 1) * period, back = time - frames * period;
            const bool inGap = back >= gapFrom && back < gapTo;
            board.setRadarScene(exampleRadarProfile(),
                inGap ? std::vector<SimTarget>{} : std::vector<SimTarget>{{12.0, -30.0, 50.0}});
            const frame_t record = expectedRecord(board.frame(k));
            if (!(inGap && silent)) {
                tap->frameDecoded(record, nullptr, 0, time);
                ++delivered;
            }
        }
        QTRY_COMPARE(window.shownFrame(), delivered - 1);
        const QImage image = window.plot()->grab().toImage();
        const QRect area = window.plot()->historyRect(0);
        // The share of the columns from `from` to `to` seconds back that hold the track.
        const auto drawn = [&](double from, double to) {
            int columns = 0, withTrack = 0;
            for (int x = area.left() + 1; x < area.right(); ++x) {
                const double back = -30.0 * double(area.right() - x) / area.width();
                if (back < from || back > to)
                    continue;
                ++columns;
                for (int y = area.top(); y <= area.bottom(); ++y) {
                    if (image.pixel(x, y) == RadarPlot::kTrackColour.rgb()) {
                        ++withTrack;
                        break;
                    }
                }
            }
            return columns ? double(withTrack) / columns : -1.0;
        };
        QVERIFY2(drawn(-9.5, gapFrom - 0.3) > 0.95,
            qPrintable(QString::number(drawn(-9.5, gapFrom - 0.3))));
        QCOMPARE(drawn(gapFrom + 0.2, gapTo - 0.3), 0.0);
        // After the gap the track is confirmed again after its third hit: a few frames on.
        QVERIFY2(
            drawn(gapTo + 0.8, -0.3) > 0.95, qPrintable(QString::number(drawn(gapTo + 0.8, -0.3))));
    }

    void tiedReadout_data()
    {
        QTest::addColumn<int>("samples");
        QTest::addColumn<double>("speed");
        QTest::newRow("n 128, a walker approaching at 7.5 m/s") << 128 << -7.5;
        QTest::newRow("n 200, receding at 4 m/s") << 200 << 4.0;
    }

    // On an alternating board the CW and FMCW tracks of one moving object are tied: the readout
    // gives it once, with its speed and its range (the Doppler shift taken out). A presence gate
    // set in the view that leaves it out makes presence go, and the track goes on.
    void tiedReadout()
    {
        QFETCH(int, samples);
        QFETCH(double, speed);
        RadarViewWindow window;
        const RadarProfile profile = exampleRadarProfile();
        window.applyProfile(profile, false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        BoardModel board(SimMode::Alternate, samples, 13);
        FrameTap *tap = window.frameTap();
        tap->linkOpened({QStringLiteral("simulated board"), {}});
        const double period = (4 * samples + 7) / 11520.0;
        double range = 0.0;
        int k = 0;
        const auto play = [&](int frames) {
            for (const int last = k + frames; k < last; ++k) {
                range = (speed < 0 ? 30.0 : 10.0) + speed * (k + 1) * period; // as the speed says
                board.setRadarScene(profile, {{range, speed, 50.0}});
                tap->frameDecoded(expectedRecord(board.frame(k)), nullptr, 0, (k + 1) * period);
            }
        };
        const QRegularExpression tiedLine(
            QStringLiteral("track ([0-9]+): ([0-9.]+) m, ([0-9.]+) m/s (approaching|receding)"));
        play(60);
        QTRY_COMPARE(window.shownFrame(), int64_t(k - 1));
        const QRegularExpressionMatch tied = tiedLine.match(window.readoutText());
        QVERIFY2(tied.hasMatch(), qPrintable(window.readoutText()));
        QVERIFY2(std::abs(tied.captured(3).toDouble() - std::abs(speed)) < 0.5,
            qPrintable(tied.captured(0)));
        QCOMPARE(tied.captured(4),
            speed < 0 ? QStringLiteral("approaching") : QStringLiteral("receding"));
        // One FMCW bin is 76.8 / n m.
        QVERIFY2(std::abs(tied.captured(2).toDouble() - range) < 76.8 / samples + 0.3,
            qPrintable(tied.captured(0) + QStringLiteral(", truth %1 m").arg(range)));
        auto *presence = window.findChild<QLabel *>(QStringLiteral("presenceLabel"));
        auto *gate = window.findChild<QLabel *>(QStringLiteral("presenceGate"));
        QVERIFY(presence && gate);
        QCOMPARE(presence->text(), QStringLiteral("present"));

        // Only within 2 m, held for no time: the object is farther.
        window.findChild<QDoubleSpinBox *>(QStringLiteral("presenceHold"))->setValue(0.0);
        window.findChild<QDoubleSpinBox *>(QStringLiteral("presenceTo"))->setValue(2.0);
        play(10);
        QTRY_COMPARE(window.shownFrame(), int64_t(k - 1));
        QTRY_COMPARE(presence->text(), QStringLiteral("absent"));
        QVERIFY2(gate->text().startsWith(QStringLiteral("moving at 0.3 m/s or more, within 2 m; held 0 s")),
            qPrintable(gate->text()));
        const QRegularExpressionMatch after = tiedLine.match(window.readoutText());
        QVERIFY2(after.hasMatch(), qPrintable(window.readoutText()));
        QCOMPARE(after.captured(1), tied.captured(1));
        // The same track, started before the change.
        RadarTracking later;
        window.radarTap().takeTracking(later);
        const TrackState *track = later.track(after.captured(1).toInt());
        QVERIFY(track);
        QVERIFY2(track->firstSeconds < 60 * period, qPrintable(QString::number(track->firstSeconds)));
    }

    void restarts_data()
    {
        QTest::addColumn<int>("samples");
        QTest::addColumn<bool>("rewind"); // times start again on the same link, or a new link opens
        QTest::addColumn<QString>("said");
        QTest::newRow("a rewound replay, n 100") << 100 << true << "time went back";
        QTest::newRow("a looped replay, n 255") << 255 << true << "time went back";
        QTest::newRow("a new link, n 24") << 24 << false << "new link";
    }

    // The tracks, passes and the 30 s target log belong to the current pass: after a rewind or a
    // new link they hold only what came after it.
    void restarts()
    {
        QFETCH(int, samples);
        QFETCH(bool, rewind);
        QFETCH(QString, said);
        RadarViewWindow window;
        const RadarProfile profile = exampleRadarProfile();
        window.applyProfile(profile, false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        BoardModel board(SimMode::Cw, samples, 5);
        FrameTap *tap = window.frameTap();
        tap->linkOpened({QStringLiteral("simulated board"), {}});
        const double period = (4 * samples + 7) / 11520.0;
        board.setRadarScene(profile, {{12.0, -20.0, 50.0}});
        for (int k = 0; k < 60; ++k)
            tap->frameDecoded(expectedRecord(board.frame(k)), nullptr, 0, (k + 1) * period);
        QTRY_COMPARE(window.shownFrame(), int64_t(59));
        QVERIFY(!window.plot()->tracking().tracks[0].empty());
        if (!rewind)
            tap->linkOpened({QStringLiteral("another board"), {}});
        board.setRadarScene(profile, {{12.0, 15.0, 50.0}});
        const int after = 40;
        for (int k = 0; k < after; ++k)
            tap->frameDecoded(expectedRecord(board.frame(60 + k)), nullptr, 0, (k + 1) * period);
        QTRY_COMPARE(window.shownFrame(), int64_t(rewind ? 60 + after - 1 : after - 1));
        QTRY_VERIFY2(window.noteText().contains(said), qPrintable(window.noteText()));
        const RadarTracking &tracking = window.plot()->tracking();
        QCOMPARE(tracking.passCount, int64_t(0)); // the walker's pass was of the pass before
        bool receding = false;
        for (const TrackState &track : tracking.tracks[0]) {
            QVERIFY2(track.speedMps > 0.0, qPrintable(QString::number(track.speedMps)));
            receding = receding || track.confirmed;
        }
        QVERIFY(receding);
        for (const RadarTrailPoint &point : tracking.trail)
            QVERIFY2(point.value > 0.0, qPrintable(QString::number(point.value)));
        // "Save targets (30 s)" saves this pass: no row from before, whose times ran further.
        QTemporaryDir directory;
        QString error;
        QVERIFY2(window.saveTargets(directory.filePath("t.csv"), &error), qPrintable(error));
        QFile saved(directory.filePath("t.csv"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QList<QByteArray> rows = saved.readAll().split('\n').mid(1);
        int counted = 0;
        for (const QByteArray &row : rows) {
            if (row.isEmpty())
                continue;
            ++counted;
            QVERIFY2(row.split(',').value(1).toDouble() <= after * period + 1e-6, row.constData());
        }
        QVERIFY(counted >= after / 2);
    }

    // A flood of frames with a target, 500 a second for a minute: a trail keeps a point a 50 ms
    // slot over the last 30 s, however many frames come.
    void trailsBoundedUnderAFlood()
    {
        RadarViewWindow window;
        window.applyProfile(exampleRadarProfile(), false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        BoardModel board(SimMode::Cw, 24, 8);
        board.setRadarScene(exampleRadarProfile(), {{0.0, -20.0, 50.0}});
        std::vector<frame_t> records;
        for (int k = 0; k < 64; ++k)
            records.push_back(expectedRecord(board.frame(k)));
        FrameTap *tap = window.frameTap();
        tap->linkOpened({QStringLiteral("simulated board"), {}});
        const int frames = 30000;
        for (int k = 0; k < frames; ++k)
            tap->frameDecoded(records[size_t(k % 64)], nullptr, 0, (k + 1) * 0.002);
        QTRY_COMPARE(window.shownFrame(), int64_t(frames - 1));
        const RadarTracking &tracking = window.plot()->tracking();
        QVERIFY(!tracking.trail.empty());
        QVERIFY(tracking.trail.size() <= size_t(RadarTap::kTrailPoints));
        QVERIFY(tracking.trail.front().seconds >= tracking.newestSeconds - 30.0);
        std::map<int, int> perTrack;
        for (const RadarTrailPoint &point : tracking.trail)
            ++perTrack[point.track];
        for (const auto &track : perTrack)
            QVERIFY2(track.second <= int(30.0 / RadarTap::kTrailSlotSeconds) + 1,
                qPrintable(
                    QStringLiteral("track %1: %2 points").arg(track.first).arg(track.second)));
    }

    void staleReadout_data()
    {
        QTest::addColumn<bool>("closeLink");
        QTest::addColumn<QString>("said");
        QTest::newRow("the line closes: line lost") << true << "line lost";
        QTest::newRow("no frame for 2 s: stale") << false << "stale, ";
    }

    // A readout no frame backs any more says so, and each readout names its frame and time.
    void staleReadout()
    {
        QFETCH(bool, closeLink);
        QFETCH(QString, said);
        RadarViewWindow window;
        window.applyProfile(exampleRadarProfile(), false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        feed(window, Scene{SimMode::Cw, 100, {{12.0, -7.5, 50.0}}}, 20);
        QTRY_COMPARE(window.shownFrame(), int64_t(19));
        const RadarPlot &plot = *window.plot();
        QCOMPARE(plot.pane(0).frame, int64_t(19));
        QCOMPARE(plot.pane(0).seconds, 20 * (4 * 100 + 7) / 11520.0);
        QVERIFY(plot.staleNote().isEmpty());
        QVERIFY(!window.readoutText().contains("("));
        if (closeLink)
            window.frameTap()->linkClosed();
        QTRY_VERIFY_WITH_TIMEOUT(plot.staleNote().startsWith(said), 3 * RadarViewWindow::kStaleMs);
        QVERIFY2(window.readoutText().contains("(" + said), qPrintable(window.readoutText()));
        QVERIFY(window.readoutText().contains("7.")); // what was, still there to read
        // Presence is as old as the readout, and says so.
        const auto *presence = window.findChild<QLabel *>(QStringLiteral("presenceLabel"));
        QVERIFY2(presence->text().startsWith(QStringLiteral("present (") + said),
            qPrintable(presence->text()));
    }

    // A person at rest before the board: the micro-motion pane gives their breathing rate, the
    // range it reads, the displacement and the window's I/Q values round the circle fitted to them.
    // With no one there it says there is no echo, and keeps the noise's values within the square.
    // Its words fit the canvas, at the window's size and at a small one.
    void microMotionPane_data()
    {
        QTest::addColumn<SimMode>("mode");
        QTest::addColumn<int>("samples");
        QTest::addColumn<double>("range"); // the pane's range box; 0: CW
        QTest::addColumn<QString>("rangeText");
        QTest::addColumn<bool>("person");
        QTest::newRow("CW n=128") << SimMode::Cw << 128 << 0.0 << "CW: the whole return" << true;
        QTest::newRow("FMCW n=200 at 1.5 m")
            << SimMode::Fmcw << 200 << 1.5 << "FMCW: the cell at 1.50 m" << true;
        QTest::newRow("CW n=128, no one") << SimMode::Cw << 128 << 0.0 << "CW: the whole return" << false;
    }

    void microMotionPane()
    {
        QFETCH(SimMode, mode);
        QFETCH(int, samples);
        QFETCH(double, range);
        QFETCH(QString, rangeText);
        QFETCH(bool, person);
        RadarViewWindow window;
        window.applyProfile(exampleRadarProfile(), false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        MicroMotionPane *pane = window.microMotionPane();
        window.findChild<QTabWidget *>(QStringLiteral("radarTabs"))->setCurrentWidget(pane);
        pane->findChild<QDoubleSpinBox *>(QStringLiteral("vitalsRangeSpin"))->setValue(range);

        SimScene scene;
        SimSceneTarget breathing;
        breathing.rangeM = 1.5;
        breathing.breathMm = 4.0;
        breathing.breathsPerMin = 15.0;
        breathing.levelDb = levelForSnr(20.0, samples);
        if (person)
            scene.targets.push_back(breathing);
        SimFrontEnd front;
        front.dcI = 250.0;
        front.dcQ = -180.0;
        front.clutter = {{2.4, 0.0, 45.0}};
        BoardModel board(mode, samples, 11);
        board.setFrontEnd(front);
        board.setScene(exampleRadarProfile(), scene);
        FrameTap *tap = window.frameTap();
        tap->linkOpened({QStringLiteral("simulated board"), {}});
        // 40 s at the line's pace, in the frames' own time.
        for (int64_t k = 0; board.secondsAt(k) < 40.0; ++k)
            tap->frameDecoded(expectedRecord(board.frame(k)), nullptr, 0, board.secondsAt(k));
        QTRY_VERIFY(pane->snapshot().reading.seconds > 39.5);
        const VitalsSnapshot &shown = pane->snapshot();
        // The words drawn on the canvas lie within it, each as wide as its text.
        const auto wordsFit = [&](const char *size) {
            const QFontMetrics metrics = pane->canvas()->fontMetrics();
            for (const MicroMotionPane::Label &label : pane->labels()) {
                const QString what = QStringLiteral("%1 at %2x%3 (%4): '%5' in %6,%7 %8x%9")
                                         .arg(QLatin1String(size))
                                         .arg(pane->canvas()->width())
                                         .arg(pane->canvas()->height())
                                         .arg(QTest::currentDataTag(), label.text)
                                         .arg(label.rect.x())
                                         .arg(label.rect.y())
                                         .arg(label.rect.width())
                                         .arg(label.rect.height());
                if (!pane->canvas()->rect().contains(label.rect)
                    || metrics.horizontalAdvance(label.text) > label.rect.width()
                    || metrics.height() > label.rect.height()) {
                    qWarning("%s", qPrintable(what));
                    return false;
                }
            }
            return true;
        };
        QVERIFY(wordsFit("the window's size"));
        if (!person) {
            QCOMPARE(pane->rateText(), QStringLiteral("breathing: no rate, no echo moves above the noise"));
            QVERIFY(shown.displacement.empty());
            QVERIFY(shown.reading.noEcho && !shown.reading.moving);
            // The noise's values stay within the square, off the words.
            const QImage image = pane->canvas()->grab().toImage();
            int inside = 0, outside = 0;
            const QRect square = pane->iqRect();
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (image.pixel(x, y) == MicroMotionPane::kValueColour.rgb())
                        ++(square.contains(x, y) ? inside : outside);
            QVERIFY(inside > 20);
            QCOMPARE(outside, 0);
            return;
        }
        // The README's picture of the pane: VAZOREZ_PANE_PICTURE=FILE.png writes the window.
        const QString picture = qEnvironmentVariable("VAZOREZ_PANE_PICTURE");
        if (!picture.isEmpty() && QTest::currentDataTag() == QByteArray("CW n=128"))
            QVERIFY(window.grab().save(picture));
        // At the default size the circle's line shows its residual whole.
        QVERIFY2(pane->labels().back().text.startsWith(QStringLiteral("residual ")),
            qPrintable(pane->labels().back().text));
        QVERIFY2(std::abs(shown.reading.breathsPerMin - 15.0) <= 1.0, qPrintable(pane->rateText()));
        const auto *rate = pane->findChild<QLabel *>(QStringLiteral("vitalsRate"));
        QVERIFY2(std::abs(firstNumber(rate->text()) - 15.0) <= 1.0, qPrintable(rate->text()));
        QVERIFY2(rate->text().contains(QStringLiteral("quality 0.")), qPrintable(rate->text()));
        QCOMPARE(pane->findChild<QLabel *>(QStringLiteral("vitalsRange"))->text(), rangeText);
        // The last 30 s of displacement and a swing near the true 8 mm.
        QVERIFY(shown.displacement.front().seconds <= shown.displacement.back().seconds - 29.0);
        double lowest = qInf(), highest = -qInf();
        for (const VitalsPoint &point : shown.displacement) {
            lowest = std::min(lowest, point.displacementMm);
            highest = std::max(highest, point.displacementMm);
        }
        QVERIFY2(highest - lowest > 6.0 && highest - lowest < 14.0, qPrintable(QString::number(highest - lowest)));

        // The picture: the displacement's line, the values, and the circle where the fit puts it.
        const QImage image = pane->canvas()->grab().toImage();
        auto count = [&](const QColor &colour, const QRect &area) {
            int found = 0;
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x)
                    found += image.pixel(x, y) == colour.rgb() ? 1 : 0;
            return found;
        };
        QVERIFY(count(MicroMotionPane::kDisplacementColour, pane->displacementRect()) > 100);
        QVERIFY(count(MicroMotionPane::kValueColour, pane->iqRect()) > 20);
        QVERIFY(shown.circle.valid);
        for (const std::complex<double> &side : {std::complex<double>(1, 0), {0, 1}, {-1, 0}}) {
            const QPointF at = pane->iqPoint(shown.circle.centre + shown.circle.radius * side);
            const QRect near(int(at.x()) - 2, int(at.y()) - 2, 5, 5);
            QVERIFY2(count(MicroMotionPane::kCircleColour, near) > 0,
                qPrintable(QStringLiteral("no circle at %1, %2").arg(at.x()).arg(at.y())));
        }
        // The same at the pane's least size, on its own.
        MicroMotionPane small;
        small.setSnapshot(shown);
        small.resize(small.minimumSizeHint());
        small.show();
        QVERIFY(QTest::qWaitForWindowExposed(&small));
        QVERIFY(small.canvas()->width() < pane->canvas()->width());
        pane = &small;
        QVERIFY(wordsFit("the pane's least size"));
    }

    void profileUnits_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<double>("shown"); // in the field's unit
        QTest::addColumn<double>("inProfile"); // Hz or seconds
        QTest::addColumn<QString>("unit");
        QTest::newRow("carrier 24.125 GHz") << "carrierEdit" << 24.125 << 24.125e9 << "GHz";
        QTest::newRow("carrier 10.525 GHz, no binary fraction")
            << "carrierEdit" << 10.525 << 10525000000.0 << "GHz";
        QTest::newRow("sample rate 38.4 kHz") << "sampleRateEdit" << 38.4 << 38400.0 << "kHz";
        QTest::newRow("bandwidth 250 MHz") << "bandwidthEdit" << 250.0 << 250e6 << "MHz";
        QTest::newRow("sweep 1.5 ms") << "sweepEdit" << 1.5 << 0.0015 << "ms";
    }

    // The form shows and takes each value in its unit; the profile keeps Hz and seconds, and a
    // value shown back and applied again stays what it was.
    void profileUnits()
    {
        QFETCH(QString, field);
        QFETCH(double, shown);
        QFETCH(double, inProfile);
        QFETCH(QString, unit);
        RadarViewWindow window;
        window.applyProfile(exampleRadarProfile(), false);
        auto *box = window.findChild<QDoubleSpinBox *>(field);
        QVERIFY(box);
        QVERIFY(box->suffix().contains(unit));
        const auto valueOf = [&](const RadarProfile &profile) {
            return field == "carrierEdit"   ? profile.carrierHz
                : field == "sampleRateEdit" ? profile.sampleRateHz
                : field == "bandwidthEdit"  ? profile.bandwidthHz
                                            : profile.sweepSeconds;
        };
        box->setValue(shown);
        window.findChild<QPushButton *>("applyButton")->click();
        QCOMPARE(window.form()->markedField(), nullptr);
        QCOMPARE(valueOf(window.profile()), inProfile);
        window.form()->showProfile(window.profile());
        QCOMPARE(box->value(), shown);
        window.findChild<QPushButton *>("applyButton")->click();
        QCOMPARE(valueOf(window.profile()), inProfile);
    }

    void targetLog_data()
    {
        QTest::addColumn<QString>("path"); // empty: a file in a fresh folder
        QTest::addColumn<bool>("written");
        QTest::newRow("alternating, n 100: the log's rows are the frames' targets")
            << QString() << true;
        QTest::newRow("a full disk: said, logging stopped") << "/dev/full" << false;
    }

    // The running log writes every frame's targets as "Save targets" writes them, in batches
    // from the GUI thread, and says when it closes or cannot write.
    void targetLog()
    {
        QFETCH(QString, path);
        QFETCH(bool, written);
        QTemporaryDir directory;
        if (path.isEmpty())
            path = directory.filePath("log.csv");
        RadarViewWindow window;
        window.applyProfile(exampleRadarProfile(), false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QString error;
        QVERIFY2(window.startTargetLog(path, &error), qPrintable(error));
        QVERIFY(window.findChild<QCheckBox *>("logTargetsCheck")->isChecked());
        feed(window, Scene{SimMode::Alternate, 100, {{12.0, -7.5, 50.0}, {25.0, 4.0, 40.0}}}, 60);
        QTRY_COMPARE(window.shownFrame(), int64_t(59));
        window.flushTargetLog();
        if (!written) {
            QVERIFY(!window.isLoggingTargets());
            QVERIFY2(window.noteText().contains("cannot write"), qPrintable(window.noteText()));
            QVERIFY(!window.findChild<QCheckBox *>("logTargetsCheck")->isChecked());
            return;
        }
        window.close(); // closing the view closes the log
        QVERIFY(!window.isLoggingTargets());
        QVERIFY2(window.noteText().contains("Target log closed"), qPrintable(window.noteText()));
        QFile log(path);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY(text.count('\n') > 60);
        QCOMPARE(text, targetsCsv(window.radarTap().recentTargets()));
    }

    void refusedProfile_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reason");
        QTest::newRow("sample rate zero") << "sampleRateEdit"
                                          << "0"
                                          << "sample_rate_hz must be above zero";
        QTest::newRow("carrier zero") << "carrierEdit"
                                      << "0"
                                      << "carrier_hz must be above zero";
        QTest::newRow("sample rate above the carrier (kHz)")
            << "sampleRateEdit"
            << "3e7"
            << "sample_rate_hz 3e+10 is above carrier_hz";
        QTest::newRow("bandwidth without sweep time") << "sweepEdit"
                                                      << "0"
                                                      << "sweep_s is missing";
        QTest::newRow("absurd range offset") << "rangeOffsetEdit"
                                             << "1e6"
                                             << "range_offset_m must be within";
        QTest::newRow("an I/Q gain no front end has") << "iqGainEdit"
                                                      << "12"
                                                      << "iq_gain_db must be within +-6";
        QTest::newRow("an I/Q phase with its unit") << "iqPhaseEdit"
                                                    << "6 deg"
                                                    << "iq_phase_deg must be a number";
    }

    // A refused value is marked and explained; the last good profile stays in force.
    void refusedProfile()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(QString, reason);
        RadarViewWindow window;
        const RadarProfile good = exampleRadarProfile();
        window.applyProfile(good, false);
        window.show();
        QWidget *edit = window.findChild<QWidget *>(field);
        QVERIFY(edit);
        if (auto *box = qobject_cast<QDoubleSpinBox *>(edit))
            box->setValue(text.toDouble());
        else
            qobject_cast<QLineEdit *>(edit)->setText(text);
        window.findChild<QPushButton *>("applyButton")->click();
        QCOMPARE(window.form()->markedField(), edit);
        QVERIFY2(window.form()->refusal().contains(reason), qPrintable(window.form()->refusal()));
        QCOMPARE(window.profile().sampleRateHz, good.sampleRateHz);
        QCOMPARE(window.profile().carrierHz, good.carrierHz);
        QCOMPARE(window.profile().sweepSeconds, good.sweepSeconds);
        QCOMPARE(window.profile().rangeOffsetM, good.rangeOffsetM);
        // Put right, it is taken and the mark goes.
        window.form()->showProfile(good);
        window.findChild<QDoubleSpinBox *>("sampleRateEdit")->setValue(40.0); // kHz
        window.findChild<QPushButton *>("applyButton")->click();
        QCOMPARE(window.form()->markedField(), nullptr);
        QCOMPARE(window.profile().sampleRateHz, 40000.0);
        // The profile applied last is the next start's; a refused one never is.
        RadarViewWindow next;
        QVERIFY(next.restoreLastProfile());
        QCOMPARE(next.profile().sampleRateHz, 40000.0);
    }

    void profileFormRoundTrips_data()
    {
        QTest::addColumn<double>("gainDb");
        QTest::addColumn<double>("phaseDeg");
        QTest::addColumn<bool>("fullSpan");
        QTest::addColumn<int>("chirpSign"); // 0: not given
        QTest::addColumn<QString>("chirpChoice"); // what the user then picks; empty: nothing
        QTest::newRow("nothing given stays not given") << 0.0 << 0.0 << false << 0 << QString();
        QTest::newRow("a calibrated front end, the full span, a rising sweep")
            << -1.25 << 6.5 << true << 1 << QString();
        QTest::newRow("a falling sweep, then back to the default")
            << 2.0 << -10.0 << false << -1 << "default";
        QTest::newRow("the default, then a falling sweep") << 0.5 << 0.0 << true << 0 << "down";
    }

    // What the form shows it reads back the same, through the checks of a profile file; the sweep
    // left to its default is written without the key.
    void profileFormRoundTrips()
    {
        QFETCH(double, gainDb);
        QFETCH(double, phaseDeg);
        QFETCH(bool, fullSpan);
        QFETCH(int, chirpSign);
        QFETCH(QString, chirpChoice);
        RadarProfile shown = exampleRadarProfile();
        shown.iqGainDb = gainDb;
        shown.iqPhaseDeg = phaseDeg;
        shown.fullSpan = fullSpan;
        shown.chirpSign = chirpSign;
        RadarViewWindow window;
        window.applyProfile(shown, false);
        if (!chirpChoice.isEmpty()) {
            window.findChild<QComboBox *>("chirpCombo")->setCurrentText(chirpChoice);
            shown.chirpSign = chirpChoice == "down" ? -1 : chirpChoice == "up" ? 1 : 0;
        }
        window.findChild<QPushButton *>("applyButton")->click();
        QCOMPARE(window.form()->markedField(), nullptr);
        const RadarProfile read = window.profile();
        QCOMPARE(read.iqGainDb, gainDb);
        QCOMPARE(read.iqPhaseDeg, phaseDeg);
        QCOMPARE(read.fullSpan, fullSpan);
        QCOMPARE(read.chirpSign, shown.chirpSign);
        QCOMPARE(read.chirp(), shown.chirp());
        QCOMPARE(radarProfileJson(read).contains("\"chirp\""), shown.chirpSign != 0);
        QCOMPARE(read.carrierHz, shown.carrierHz);
    }

    void calibrateFromTheViewsFrames_data()
    {
        QTest::addColumn<int>("samples");
        QTest::addColumn<int>("frames");
        QTest::addColumn<double>("gainDb");
        QTest::addColumn<double>("phaseDeg");
        QTest::addColumn<bool>("moving"); // a target, or the offset and a fixed echo only
        QTest::addColumn<QString>("refusal"); // empty: the fields are filled
        QTest::newRow("1 dB, 6 deg, n 128") << 128 << 330 << 1.0 << 6.0 << true << QString();
        QTest::newRow("-0.5 dB, -3 deg, n 255") << 255 << 330 << -0.5 << -3.0 << true << QString();
        QTest::newRow("2 dB, 10 deg, n 24") << 24 << 330 << 2.0 << 10.0 << true << QString();
        QTest::newRow("nothing moves: the reason in the problem line")
            << 128 << 330 << 1.0 << 6.0 << false << "nothing moves";
        QTest::newRow("a few seconds only") << 128 << 40 << 1.0 << 6.0 << true << "too few frames";
    }

    // Calibrate estimates from the frames the view was given and fills the two fields; the
    // profile in force changes only when the user applies them.
    void calibrateFromTheViewsFrames()
    {
        QFETCH(int, samples);
        QFETCH(int, frames);
        QFETCH(double, gainDb);
        QFETCH(double, phaseDeg);
        QFETCH(bool, moving);
        QFETCH(QString, refusal);
        RadarViewWindow window;
        const RadarProfile profile = exampleRadarProfile();
        window.applyProfile(profile, false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        BoardModel board(SimMode::Alternate, samples, 31);
        SimFrontEnd front;
        front.iqGainDb = gainDb;
        front.iqPhaseDeg = phaseDeg;
        front.dcI = 60.0;
        front.dcQ = -25.0;
        front.clutter = {{9.0, 0.0, 52.0}};
        board.setFrontEnd(front);
        board.setRadarScene(profile,
            moving ? std::vector<SimTarget>{{14.0, 11.0, 50.0}} : std::vector<SimTarget>{});
        FrameTap *tap = window.frameTap();
        tap->linkOpened({QStringLiteral("simulated board"), {}});
        for (int k = 0; k < frames; ++k)
            tap->frameDecoded(
                expectedRecord(board.frame(k)), nullptr, 0, (k + 1) * board.framePeriodSeconds());
        QTRY_COMPARE(window.shownFrame(), int64_t(frames - 1));
        auto *gain = window.findChild<QLineEdit *>("iqGainEdit");
        auto *phase = window.findChild<QLineEdit *>("iqPhaseEdit");
        QCOMPARE(gain->text(), QStringLiteral("0"));
        window.findChild<QPushButton *>("calibrateButton")->click();
        if (!refusal.isEmpty()) {
            QVERIFY2(
                window.form()->refusal().contains(refusal), qPrintable(window.form()->refusal()));
            QCOMPARE(gain->text(), QStringLiteral("0"));
            QCOMPARE(phase->text(), QStringLiteral("0"));
            return;
        }
        QVERIFY2(window.form()->refusal().isEmpty(), qPrintable(window.form()->refusal()));
        QVERIFY2(std::abs(gain->text().toDouble() - gainDb) <= 0.1, qPrintable(gain->text()));
        QVERIFY2(std::abs(phase->text().toDouble() - phaseDeg) <= 1.0, qPrintable(phase->text()));
        QCOMPARE(window.profile().iqGainDb, 0.0);
        window.findChild<QPushButton *>("applyButton")->click();
        QCOMPARE(window.profile().iqGainDb, gain->text().toDouble());
        QCOMPARE(window.profile().iqPhaseDeg, phase->text().toDouble());
        // A new link is another board, perhaps: its frames start the estimate again.
        tap->linkOpened({QStringLiteral("another board"), {}});
        window.findChild<QPushButton *>("calibrateButton")->click();
        QVERIFY2(
            window.form()->refusal().contains("no frames"), qPrintable(window.form()->refusal()));
    }

    // A recording made with a profile has it beside it: a replay in a view without a profile reads
    // it from the first frame, and the view's targets of the last 30 s are what vazorez-decode
    // --targets writes of the same frames without being told the profile.
    void replayWithProfileBeside()
    {
        QTemporaryDir directory;
        const QString recording = directory.filePath("scene.raw");
        Scene scene{SimMode::Alternate, 64, {{12.0, -7.5, 50.0}, {25.0, 4.0, 40.0}}};
        {
            QFile file(recording);
            QVERIFY(file.open(QIODevice::WriteOnly));
            BoardModel board(scene.mode, scene.samples, 3);
            board.setRadarScene(exampleRadarProfile(), scene.targets);
            for (int k = 0; k < 120; ++k)
                file.write(encodeFrame(board.frame(k)));
        }
        QString error;
        QVERIFY2(saveRadarProfile(radarSidecarPath(recording), exampleRadarProfile(), &error),
            qPrintable(error));

        SerialPort worker;
        RadarViewWindow window;
        // Only remembered, a profile gives way to the recording's own.
        RadarProfile remembered = exampleRadarProfile();
        remembered.carrierHz = 10.525e9;
        window.applyProfile(remembered, true);
        QVERIFY(window.restoreLastProfile());
        window.attach(&worker);
        window.show();
        auto replay
            = std::make_unique<ReplaySource>(recording, ReplaySource::Rate::Max, 0.0, false);
        QVERIFY(replay->open(&error));
        worker.openSource(std::move(replay));
        QTRY_COMPARE(window.shownFrame(), int64_t(119));
        QVERIFY(window.hasProfile());
        QCOMPARE(window.profile().carrierHz, exampleRadarProfile().carrierHz);
        QVERIFY2(window.readoutText().contains("7.4") || window.readoutText().contains("7.5"),
            qPrintable(window.readoutText()));
        QVERIFY(window.readoutText().contains("approaching"));
        QVERIFY(
            !window.plot()->spectrumRect(0).isEmpty() && !window.plot()->spectrumRect(1).isEmpty());

        const QString viewTargets = directory.filePath("view.csv");
        QVERIFY2(window.saveTargets(viewTargets, &error), qPrintable(error));
        QProcess decode;
        decode.start(siblingProgram("vazorez-decode"),
            {recording, "--targets", "-o", directory.filePath("decode.csv")});
        QVERIFY(decode.waitForFinished(60000));
        QVERIFY2(decode.exitCode() == 0, decode.readAllStandardError().constData());
        QFile decoded(directory.filePath("decode.csv")), shown(viewTargets);
        QVERIFY(decoded.open(QIODevice::ReadOnly) && shown.open(QIODevice::ReadOnly));
        const QByteArray decodedText = decoded.readAll();
        QVERIFY(decodedText.count('\n') > 200);
        QCOMPARE(shown.readAll(), decodedText);
    }
};

QTEST_MAIN(TestRadarView)
#include "tst_radarview.moc"

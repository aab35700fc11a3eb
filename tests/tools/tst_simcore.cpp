// SPDX-License-Identifier: MIT
// The simulator's parts: the encoder against the decoder, the synthetic board, the faults.
#include "boardmodel.h"
#include "faultinjector.h"
#include "framedecoder.h"
#include "frameencoder.h"
#include "framereceiver.h"
#include "framesupport.h"
#include "radaranalyzer.h"
#include "simscene.h"
#include "simulator.h"

#include <QCommandLineParser>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <complex>

namespace {

constexpr double kPi = 3.14159265358979323846;

// The example K-band radar; `span` "half" or "full".
QByteArray exampleProfile(const char *span)
{
    return QByteArray(R"({"carrier_hz": 24.125e9, "sample_rate_hz": 20000, "bandwidth_hz": 250e6,
                          "sweep_s": 0.0064, "approaching": "negative", "beat": "negative", "range_span": ")")
        + span + "\"}";
}

// The test's files, gone when it ends.
QTemporaryDir &scratch()
{
    static QTemporaryDir dir;
    return dir;
}

QString profileFile(const char *span)
{
    const QString path = scratch().filePath(QStringLiteral("k-band-%1.json").arg(QLatin1String(span)));
    QFile file(path);
    if (!file.exists() && file.open(QIODevice::WriteOnly))
        file.write(exampleProfile(span));
    return path;
}

double mean(const std::vector<int16_t> &values)
{
    double sum = 0.0;
    for (int16_t value : values)
        sum += value;
    return sum / double(values.size());
}

} // namespace

class TestSimCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encoderRoundTripsThroughTheDecoder_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("samples");
        for (int mode : {0, 1})
            for (int samples : {0, 1, 2, 3, 128, 255})
                QTest::addRow("%s, n=%d", mode ? "FMCW" : "CW", samples) << mode << samples;
    }

    void encoderRoundTripsThroughTheDecoder()
    {
        QFETCH(int, mode);
        QFETCH(int, samples);
        FrameValues values = numberedFrame(samples + 1, samples, uint8_t(mode));
        if (samples > 0) {
            // Extremes of both sample types.
            values.i[0] = INT16_MIN;
            values.q[0] = INT16_MAX;
            values.s[0] = INT32_MIN;
            values.s[size_t(samples - 1)] = INT32_MAX;
        }
        const QByteArray bytes = encodeFrame(values);
        QCOMPARE(bytes.size(), FrameDecoder::frameLength(samples));
        frame_t frame;
        FrameDecoder::Details details;
        details.wantSpectrum = true;
        QCOMPARE(FrameDecoder().decodeFrame(bytes.constData(), bytes.size(), frame, details), 0);
        QCOMPARE(frame, expectedRecord(values));
        QCOMPARE(details.spectrum, values.s);
    }

    void checksumIsTheWireFormatsSum()
    {
        // Hand-written: E0 + 00 + 00 + 01 + 00 10 00 20 00 00 00 05 = 0x116.
        const QByteArray frame = QByteArray::fromHex("A2E000000100100020000000051616");
        QCOMPARE(int(frameChecksum(frame.constData(), frame.size())), 0x16);
        FrameValues values;
        values.i = {16};
        values.q = {32};
        values.s = {5};
        QCOMPARE(encodeFrame(values), frame);
    }

    void boardLooksLikeARadar_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("CW") << int(SimMode::Cw);
        QTest::newRow("FMCW") << int(SimMode::Fmcw);
    }

    void boardLooksLikeARadar()
    {
        QFETCH(int, mode);
        BoardModel board(SimMode(mode), 128, 5);
        for (int index = 0; index < 50; ++index) {
            const FrameValues values = board.frame(index);
            QCOMPARE(int(values.mode), mode == int(SimMode::Fmcw) ? 1 : 0);
            QCOMPARE(values.i.size(), size_t(128));
            double mean = 0;
            for (size_t k = 0; k < values.i.size(); ++k) {
                QVERIFY(values.i[k] >= 0 && values.i[k] <= 4095);
                QVERIFY(values.q[k] >= 0 && values.q[k] <= 4095);
                mean += values.i[k];
            }
            QVERIFY(std::abs(mean / 128 - 2048) < 300);
            const auto [low, high] = std::minmax_element(values.s.begin(), values.s.end());
            QVERIFY(*low >= -35 && *high <= 60);
            QVERIFY2(*high > 35 && *high - *low > 30, "the target stands out of the noise floor");
        }
    }

    void sameSeedSameBytes()
    {
        auto stream = [](uint32_t seed, SimMode mode) {
            BoardModel board(mode, 64, seed);
            FaultInjector faults({0.3, 0.3, 0.3, 0.3, 0.3}, seed);
            QByteArray out;
            for (int index = 0; index < 30; ++index)
                faults.append(out, encodeFrame(board.frame(index)));
            return out;
        };
        QCOMPARE(stream(11, SimMode::Alternate), stream(11, SimMode::Alternate));
        QVERIFY(stream(11, SimMode::Alternate) != stream(12, SimMode::Alternate));
        QVERIFY(stream(11, SimMode::Cw) != stream(11, SimMode::Fmcw));
    }

    // Recordings and the viewer's tests were made with the built-in target: a radar scene is an
    // addition beside it, never a change to its bytes.
    void builtInTargetKeepsItsBytes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("samples");
        QTest::addColumn<QByteArray>("sha1");
        const char *sums[3][3] = {
            {"45e61998b85ad0fcfe652f73499a2351047901e7", "0550344e3f6444dc29c788b522d4721220e31da8",
             "df476e678d49c3820b079d3e64199b019ec25fc1"},
            {"02b5179c9cbe338601f3b24f506e1dc85a47a9c7", "f712e2f430ee7607a49d395965b4d7ef91c66fcc",
             "16ffdbdc792117dc438de999e75cfc605623dec3"},
            {"f2e30828b4a6c6a187c66e561b65805e309025c5", "6832632e4dfc087695bf319af6184f9fc20b021b",
             "abd02e16476b1449b7f86dfb746983e07139d9e4"}};
        const char *names[3] = {"CW", "FMCW", "alternate"};
        const int sizes[3] = {16, 128, 255};
        for (int mode = 0; mode < 3; ++mode)
            for (int size = 0; size < 3; ++size)
                QTest::addRow("%s, n=%d", names[mode], sizes[size])
                    << mode << sizes[size] << QByteArray(sums[mode][size]);
    }

    void builtInTargetKeepsItsBytes()
    {
        QFETCH(int, mode);
        QFETCH(int, samples);
        QFETCH(QByteArray, sha1);
        BoardModel board(SimMode(mode), samples, 7);
        QCryptographicHash hash(QCryptographicHash::Sha1);
        for (int index = 0; index < 40; ++index)
            hash.addData(encodeFrame(board.frame(index)));
        QCOMPARE(hash.result().toHex(), sha1);
    }

    void targetMoves()
    {
        BoardModel board(SimMode::Fmcw, 128, 1);
        auto peak = [](const FrameValues &v) {
            return int(std::max_element(v.s.begin(), v.s.end()) - v.s.begin());
        };
        const int first = peak(board.frame(0));
        int later = first;
        for (int index = 1; index < 80; ++index)
            later = peak(board.frame(index));
        QVERIFY(first != later);
    }

    void faultsAreExactlyTheOnesCounted_data()
    {
        QTest::addColumn<double>("junk");
        QTest::addColumn<double>("stray");
        QTest::addColumn<double>("checksum");
        QTest::addColumn<double>("mode");
        QTest::addColumn<double>("truncate");
        QTest::addColumn<int>("samples");
        QTest::newRow("none") << 0.0 << 0.0 << 0.0 << 0.0 << 0.0 << 128;
        QTest::newRow("junk only") << 0.5 << 0.0 << 0.0 << 0.0 << 0.0 << 128;
        // Short frames in dense junk: the junk's own header and end bytes meet real frames often.
        QTest::newRow("junk only, n=0") << 1.0 << 0.0 << 0.0 << 0.0 << 0.0 << 0;
        QTest::newRow("stray headers, n=1") << 0.5 << 0.5 << 0.0 << 0.0 << 0.0 << 1;
        QTest::newRow("bad checksums, n=64") << 0.0 << 0.0 << 0.3 << 0.0 << 0.0 << 64;
        QTest::newRow("bad modes, n=255") << 0.0 << 0.0 << 0.0 << 0.3 << 0.0 << 255;
        QTest::newRow("truncated, n=16") << 0.0 << 0.0 << 0.0 << 0.0 << 0.3 << 16;
        QTest::newRow("truncated in junk, n=16") << 1.0 << 0.0 << 0.0 << 0.0 << 0.5 << 16;
        QTest::newRow("everything at once") << 0.1 << 0.1 << 0.1 << 0.1 << 0.1 << 128;
    }

    void faultsAreExactlyTheOnesCounted()
    {
        QFETCH(double, junk);
        QFETCH(double, stray);
        QFETCH(double, checksum);
        QFETCH(double, mode);
        QFETCH(double, truncate);
        QFETCH(int, samples);
        BoardModel board(SimMode::Alternate, samples, 3);
        FaultInjector faults({junk, stray, checksum, mode, truncate}, 3);
        QByteArray stream, framesAlone;
        QList<frame_t> expected;
        int broken = 0;
        for (int index = 0; index < 400; ++index) {
            const FrameValues values = board.frame(index);
            framesAlone += encodeFrame(values);
            if (faults.append(stream, encodeFrame(values)))
                ++broken;
            else
                expected.append(expectedRecord(values));
        }
        FrameReceiver receiver;
        FrameDecoder decoder;
        frame_t record;
        QList<frame_t> received;
        auto keep = [&](const frame_t &frame, const char *, int) { received.append(frame); };
        for (int at = 0; at < stream.size(); at += 777)
            receiver.receive(stream.constData() + at, std::min(777, int(stream.size()) - at), decoder, record, keep);
        receiver.flush(decoder, record, keep);
        QCOMPARE(received.size(), 400 - broken);
        QCOMPARE(received, expected);
        if (checksum + mode + truncate > 0)
            QVERIFY(broken > 0);
        if (junk > 0 && checksum + mode + truncate == 0) {
            // Noise as a line makes it: the junk holds false header and end bytes too.
            QVERIFY(stream.count(char(0xA2)) > framesAlone.count(char(0xA2)));
            QVERIFY(stream.count(char(0x16)) > framesAlone.count(char(0x16)));
        }
    }
    // The front end against its definition, at the sizes a board sends: the offset is the mean
    // of I and Q, Q's gain and phase error set its level and the mirror image, and the ADC clips
    // at its rails.
    void frontEndFollowsItsDefinition_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("samples");
        for (const char *what : {"offset", "drifting offset", "imbalance", "clipping"})
            for (int samples : {24, 100, 128, 200, 255})
                QTest::addRow("%s, n=%d", what, samples) << QString::fromLatin1(what) << samples;
    }

    void frontEndFollowsItsDefinition()
    {
        QFETCH(QString, what);
        QFETCH(int, samples);
        RadarProfile profile;
        QString error;
        QVERIFY2(RadarProfile::parse(exampleProfile("half"), "example", &profile, &error), qPrintable(error));
        // A whole number of cycles per frame: no leakage from the tone into its mirror's bin.
        const int cycles = samples / 5;
        const double toneSpeed = profile.speedForFrequency(cycles * profile.sampleRateHz / samples);
        SimFrontEnd front;
        std::vector<SimTarget> targets;
        BoardModel board(SimMode::Cw, samples, 3);
        const double noise = 30.0; // digits in I and in Q
        if (what == "offset" || what == "drifting offset") {
            front.dcI = 300.0;
            front.dcQ = -200.0;
        }
        if (what == "drifting offset") {
            front.dcDriftPerS = 20.0;
            board.setFramePeriod(1.0);
        }
        if (what == "imbalance") {
            front.iqGainDb = 1.0;
            front.iqPhaseDeg = 6.0;
            targets.push_back({5.0, toneSpeed, 60.0});
        }
        if (what == "clipping")
            targets.push_back({5.0, toneSpeed, 70.0});
        board.setRadarScene(profile, targets);
        board.setFrontEnd(front);

        if (what == "offset") {
            double sumI = 0.0, sumQ = 0.0;
            const int frames = 20;
            for (int index = 0; index < frames; ++index) {
                const FrameValues values = board.frame(index);
                sumI += mean(values.i);
                sumQ += mean(values.q);
            }
            const double tolerance = 5.0 * noise / std::sqrt(double(frames * samples));
            QVERIFY2(std::abs(sumI / frames - 2348.0) < tolerance, qPrintable(QString::number(sumI / frames)));
            QVERIFY2(std::abs(sumQ / frames - 1848.0) < tolerance, qPrintable(QString::number(sumQ / frames)));
        } else if (what == "drifting offset") {
            // A circle of 120 s whose steepest slope is 20 digits a second: its radius is
            // 20 * 120 / 2 pi. A quarter turn in, I and Q have both risen by it; half a turn in,
            // I is back and Q has risen by twice it; three quarters in, I is below by it.
            const double radius = 20.0 * 120.0 / (2.0 * kPi);
            const double expected[][3] = {{0, 300.0, -200.0}, {30, 300.0 + radius, -200.0 + radius},
                                          {60, 300.0, -200.0 + 2.0 * radius}, {90, 300.0 - radius, -200.0 + radius}};
            const double tolerance = 5.0 * noise / std::sqrt(double(samples));
            int checked = 0;
            for (int index = 0; index <= 90; ++index) {
                const FrameValues values = board.frame(index);
                for (const auto &point : expected) {
                    if (int(point[0]) != index)
                        continue;
                    QVERIFY2(std::abs(mean(values.i) - 2048.0 - point[1]) < tolerance,
                             qPrintable(QStringLiteral("I at %1 s: %2").arg(index).arg(mean(values.i) - 2048.0)));
                    QVERIFY2(std::abs(mean(values.q) - 2048.0 - point[2]) < tolerance,
                             qPrintable(QStringLiteral("Q at %1 s: %2").arg(index).arg(mean(values.q) - 2048.0)));
                    ++checked;
                }
            }
            QCOMPARE(checked, 4);
        } else if (what == "imbalance") {
            double powerI = 0.0, powerQ = 0.0, tone = 0.0, mirror = 0.0;
            for (int index = 0; index < 20; ++index) {
                const FrameValues values = board.frame(index);
                const double meanI = mean(values.i), meanQ = mean(values.q);
                std::complex<double> at(0.0, 0.0), mirrored(0.0, 0.0);
                for (int k = 0; k < samples; ++k) {
                    const std::complex<double> x(values.i[size_t(k)] - meanI, values.q[size_t(k)] - meanQ);
                    powerI += x.real() * x.real();
                    powerQ += x.imag() * x.imag();
                    // A plain DFT at +f and at -f.
                    at += x * std::polar(1.0, -2.0 * kPi * cycles * k / samples);
                    mirrored += x * std::polar(1.0, 2.0 * kPi * cycles * k / samples);
                }
                tone += std::norm(at);
                mirror += std::norm(mirrored);
            }
            const double gain = std::pow(10.0, 1.0 / 20.0);
            const double ratio = std::sqrt(powerQ / powerI);
            QVERIFY2(std::abs(ratio - gain) < 0.01, qPrintable(QString::number(ratio)));
            // The image rejection of a gain g and phase error p: (1 + 2g cos p + g^2) / (1 - 2g cos p + g^2),
            // 22.2 dB for 1 dB and 6 degrees.
            const double cosine = std::cos(6.0 * kPi / 180.0);
            const double rejection = 10.0 * std::log10((1.0 + 2.0 * gain * cosine + gain * gain)
                                                       / (1.0 - 2.0 * gain * cosine + gain * gain));
            QVERIFY(std::abs(rejection - 22.2) < 0.05);
            const double measured = 10.0 * std::log10(tone / mirror);
            QVERIFY2(std::abs(measured - rejection) < 1.0, qPrintable(QString::number(measured)));
        } else {
            // 3162 digits about mid-scale: both channels meet both rails in every frame.
            for (int index = 0; index < 10; ++index) {
                const FrameValues values = board.frame(index);
                for (const std::vector<int16_t> *channel : {&values.i, &values.q}) {
                    QVERIFY(std::count(channel->begin(), channel->end(), int16_t(0)) > 0);
                    QVERIFY(std::count(channel->begin(), channel->end(), int16_t(4095)) > 0);
                    QVERIFY(*std::min_element(channel->begin(), channel->end()) >= 0);
                    QVERIFY(*std::max_element(channel->begin(), channel->end()) <= 4095);
                }
            }
            // 10 dB less stays clear of them.
            BoardModel quieter(SimMode::Cw, samples, 3);
            quieter.setRadarScene(profile, {{5.0, toneSpeed, 60.0}});
            for (int index = 0; index < 10; ++index) {
                const FrameValues values = quieter.frame(index);
                for (const std::vector<int16_t> *channel : {&values.i, &values.q}) {
                    QVERIFY(*std::min_element(channel->begin(), channel->end()) > 0);
                    QVERIFY(*std::max_element(channel->begin(), channel->end()) < 4095);
                }
            }
        }
    }

    // A scene file is read or refused with one line naming the file, the target and the key; keys
    // it does not know are said, not fatal.
    void sceneFileIsReadOrRefused_data()
    {
        QTest::addColumn<QByteArray>("json"); // empty: no such file
        QTest::addColumn<QString>("error"); // after "FILE: "; "" when accepted; ending in "(": its start
        QTest::addColumn<QStringList>("warnings"); // after "FILE: "
        QTest::addColumn<int>("targets");
        QTest::newRow("missing file") << QByteArray() << "" << QStringList() << 0;
        QTest::newRow("not JSON") << QByteArray(R"({"targets": [)") << "not JSON (" << QStringList() << 0;
        QTest::newRow("an array") << QByteArray("[]") << "a scene is a JSON object" << QStringList() << 0;
        QTest::newRow("no targets") << QByteArray("{}") << "targets is missing" << QStringList() << 0;
        QTest::newRow("targets not an array") << QByteArray(R"({"targets": {"range_m": 3}})")
                                              << "targets must be an array of objects" << QStringList() << 0;
        QTest::newRow("target not an object") << QByteArray(R"({"targets": [{"range_m": 3, "speed_mps": 1}, 4]})")
                                              << "target 2: not an object" << QStringList() << 0;
        QTest::newRow("range missing") << QByteArray(R"({"targets": [{"speed_mps": -1}]})")
                                       << "target 1: range_m is missing" << QStringList() << 0;
        QTest::newRow("speed a string") << QByteArray(R"({"targets": [{"range_m": 3, "speed_mps": "-1"}]})")
                                        << "target 1: speed_mps must be a number" << QStringList() << 0;
        QTest::newRow("negative range") << QByteArray(R"({"targets": [{"range_m": -3, "speed_mps": -1}]})")
                                        << "target 1: range_m must be from 0 to 100000, not -3" << QStringList() << 0;
        QTest::newRow("negative start") << QByteArray(R"({"targets": [{"start_s": -1, "range_m": 3, "speed_mps": 1}]})")
                                        << "target 1: start_s must be from 0 to 10000000, not -1" << QStringList() << 0;
        QTest::newRow("end before start")
            << QByteArray(R"({"targets": [{"range_m": 3, "speed_mps": 1}, {"start_s": 5, "end_s": 2, "range_m": 3, "speed_mps": 1}]})")
            << "target 2: end_s 2 is not after start_s 5" << QStringList() << 0;
        QTest::newRow("path farther than the start")
            << QByteArray(R"({"targets": [{"range_m": 3, "speed_mps": 1, "lateral_m": 4}]})")
            << "target 1: range_m 3 is nearer than lateral_m 4, the path's closest" << QStringList() << 0;
        QTest::newRow("level beyond 100 dB") << QByteArray(R"({"targets": [{"range_m": 3, "speed_mps": 1, "level_db": 120}]})")
                                             << "target 1: level_db must be from -100 to 100, not 120" << QStringList() << 0;
        QTest::newRow("a person's rate misspelt")
            << QByteArray(R"({"targets": [{"range_m": 1.5, "breath_per_min": 15}]})")
            << "target 1: speed_mps is missing (unknown key breath_per_min: misspelt?)"
            << QStringList{"target 1: unknown key breath_per_min ignored"} << 0;
        QTest::newRow("breathing's rate misspelt beside its amplitude")
            << QByteArray(R"({"targets": [{"range_m": 1.5, "breath_mm": 4, "breath_per_min": 15}]})")
            << "target 1: breath_mm without breaths_per_min: breathing needs both (unknown key "
               "breath_per_min: misspelt?)"
            << QStringList{"target 1: unknown key breath_per_min ignored"} << 0;
        QTest::newRow("a heartbeat without its rate")
            << QByteArray(R"({"targets": [{"range_m": 1.5, "breath_mm": 4, "breaths_per_min": 15, "heart_mm": 0.3}]})")
            << "target 1: heart_mm without heart_per_min: a heartbeat needs both" << QStringList() << 0;
        QTest::newRow("a heartbeat without its amplitude")
            << QByteArray(R"({"targets": [{"range_m": 1.5, "breath_mm": 4, "breaths_per_min": 15, "heart_per_min": 72}]})")
            << "target 1: heart_per_min without heart_mm: a heartbeat needs both" << QStringList() << 0;
        QTest::newRow("clutter without its range") << QByteArray(R"({"targets": [], "clutter": [{"level_db": 40}]})")
                                                   << "clutter 1: range_m is missing" << QStringList() << 0;
        QTest::newRow("negative duration") << QByteArray(R"({"targets": [], "duration_s": -2})")
                                           << "duration_s must be from 0 to 10000000, not -2" << QStringList() << 0;
        QTest::newRow("unknown keys")
            << QByteArray(R"({"targets": [{"range_m": 3, "speed_mps": 1, "colour": "red"}], "weather": "rain",
                              "clutter": [{"range_m": 2, "speed_mps": 0}]})")
            << "" << QStringList{"unknown key weather ignored", "target 1: unknown key colour ignored",
                                 "clutter 1: unknown key speed_mps ignored"} << 1;
        QTest::newRow("the examples' keys")
            << QByteArray(R"({"name": "two", "duration_s": 9, "targets": [{"start_s": 1, "end_s": 4, "range_m": 30,
                              "speed_mps": -12, "lateral_m": 3, "level_db": 45}, {"range_m": 5, "speed_mps": 0}],
                              "clutter": [{"range_m": 12, "level_db": 40}]})")
            << "" << QStringList() << 2;
    }

    void sceneFileIsReadOrRefused()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        QFETCH(QStringList, warnings);
        QFETCH(int, targets);
        const QString path = scratch().filePath(QStringLiteral("scene-%1.json").arg(QTest::currentDataTag()));
        if (!json.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(json);
        }
        SimScene scene;
        QString message;
        QStringList said;
        const bool accepted = SimScene::load(path, &scene, &message, &said);
        if (json.isEmpty()) {
            QVERIFY(!accepted);
            QCOMPARE(message, QStringLiteral("cannot read scene %1: No such file or directory").arg(path));
            return;
        }
        if (error.endsWith('('))
            QVERIFY2(message.startsWith(path + ": " + error), qPrintable(message));
        else if (!error.isEmpty())
            QCOMPARE(message, path + ": " + error);
        QCOMPARE(accepted, error.isEmpty());
        QStringList expected;
        for (const QString &warning : warnings)
            expected << path + ": " + warning;
        QCOMPARE(said, expected);
        QCOMPARE(int(scene.targets.size()), targets);
        if (QTest::currentDataTag() == QByteArray("the examples' keys")) {
            // Every key lands where it belongs, and what is not said takes its default.
            const SimSceneTarget &first = scene.targets[0], &second = scene.targets[1];
            QCOMPARE(QList<double>({first.startS, first.endS, first.rangeM, first.speedMps, first.lateralM, first.levelDb}),
                     QList<double>({1.0, 4.0, 30.0, -12.0, 3.0, 45.0}));
            QCOMPARE(QList<double>({second.startS, second.rangeM, second.lateralM, second.levelDb}),
                     QList<double>({0.0, 5.0, 0.0, SimTarget::kDefaultLevelDb}));
            QVERIFY(std::isinf(second.endS));
            QCOMPARE(scene.durationS, 9.0);
            QCOMPARE(int(scene.clutter.size()), 1);
            QCOMPARE(QList<double>({scene.clutter[0].rangeM, scene.clutter[0].levelDb}), QList<double>({12.0, 40.0}));
        }
    }

    // A target's path against the closed forms: R = sqrt(x^2 + L^2), dR/dt = v x / R, through the
    // sensor itself (L = 0: the range is |x|, the speed turns at once) and past it (L > 0: the
    // speed turns through zero at the closest point). In view from its start until its end.
    void sceneGeometryFollowsItsClosedForm_data()
    {
        QTest::addColumn<QList<double>>("target"); // start, end, range, speed, lateral
        QTest::addColumn<double>("seconds");
        QTest::addColumn<double>("range");
        QTest::addColumn<double>("speed");
        QTest::addColumn<bool>("inView");
        const QList<double> walker{0.0, 40.0, 30.0, -1.2, 0.0};
        QTest::newRow("walker at the start") << walker << 0.0 << 30.0 << -1.2 << true;
        QTest::newRow("walker halfway") << walker << 10.0 << 18.0 << -1.2 << true;
        QTest::newRow("walker through the sensor") << walker << 30.0 << 6.0 << 1.2 << true;
        QTest::newRow("walker at its end") << walker << 40.0 << 18.0 << 1.2 << false;
        // From 5 m with the path 3 m off: 4 m to go to the closest point at 2 m/s.
        const QList<double> car{1.0, 6.0, 5.0, -2.0, 3.0};
        QTest::newRow("car before its start") << car << 0.5 << std::sqrt(34.0) << -10.0 / std::sqrt(34.0) << false;
        QTest::newRow("car at its start") << car << 1.0 << 5.0 << -1.6 << true;
        QTest::newRow("car nearing") << car << 2.0 << std::sqrt(13.0) << -4.0 / std::sqrt(13.0) << true;
        QTest::newRow("car at the closest point") << car << 3.0 << 3.0 << 0.0 << true;
        QTest::newRow("car past it") << car << 5.0 << 5.0 << 1.6 << true;
        // A positive speed moves away from the closest point from the start.
        QTest::newRow("receding car") << QList<double>{0.0, 1e9, 5.0, 3.0, 4.0} << 1.0 << std::sqrt(52.0)
                                      << 18.0 / std::sqrt(52.0) << true;
    }

    void sceneGeometryFollowsItsClosedForm()
    {
        QFETCH(QList<double>, target);
        QFETCH(double, seconds);
        QFETCH(double, range);
        QFETCH(double, speed);
        QFETCH(bool, inView);
        SimScene scene;
        scene.targets.push_back({100.0, 101.0, 1.0, 0.0, 0.0, 30.0}); // another, never in view here
        SimSceneTarget moving;
        moving.startS = target[0];
        moving.endS = target[1];
        moving.rangeM = target[2];
        moving.speedMps = target[3];
        moving.lateralM = target[4];
        moving.levelDb = 44.0;
        scene.targets.push_back(moving);
        QVERIFY(std::abs(moving.rangeAt(seconds) - range) < 1e-9);
        QVERIFY2(std::abs(moving.radialSpeedAt(seconds) - speed) < 1e-9, qPrintable(QString::number(moving.radialSpeedAt(seconds))));
        const std::vector<SimTargetTruth> seen = scene.at(seconds);
        QCOMPARE(int(seen.size()), inView ? 1 : 0);
        if (inView) {
            QCOMPARE(seen[0].target, 2);
            QCOMPARE(seen[0].levelDb, 44.0);
            QCOMPARE(seen[0].rangeM, moving.rangeAt(seconds));
            QCOMPARE(seen[0].speedMps, moving.radialSpeedAt(seconds));
        }
    }

    // The frames carry the truth: the project's own analysis finds a car passing by at the radial
    // speed (CW) and the Doppler-shifted range (FMCW) the scene says, frame after frame, within a
    // quarter of a bin, at the sizes a board sends.
    void sceneFramesCarryTheTruth_data()
    {
        QTest::addColumn<int>("samples");
        for (int samples : {24, 100, 128, 200, 255})
            QTest::addRow("n=%d", samples) << samples;
    }

    void sceneFramesCarryTheTruth()
    {
        QFETCH(int, samples);
        RadarProfile profile;
        QString error;
        QVERIFY2(RadarProfile::parse(exampleProfile("half"), "example", &profile, &error), qPrintable(error));
        SimScene scene;
        // From 24 m, its path 2 m off, passing the closest point after 2 s and receding after it;
        // fast enough to stand clear of zero frequency at n = 24 too.
        scene.targets.push_back({0.0, 1e9, 24.0, -12.0, 2.0, 50.0});
        BoardModel board(SimMode::Alternate, samples, 8);
        board.setScene(profile, scene);
        board.setFramePeriod(0.1);
        RadarAnalyzer analyzer(profile);
        const double binHz = profile.sampleRateHz / samples;
        // The wider zone of the frames before the offset is learnt: the car is checked from the first.
        const double floorHz = RadarAnalyzer::blindBins(SpectrumWindow::Hann, samples, false) * binHz;
        int checked[2] = {0, 0};
        bool receded = false;
        for (int index = 0; index < 50; ++index) {
            const std::vector<SimTargetTruth> truth = board.truth(index);
            const RadarAnalysis analysis = analyzer.analyze(expectedRecord(board.frame(index)));
            QCOMPARE(int(truth.size()), 1);
            const bool fmcw = index % 2 == 1;
            const double hz = fmcw ? profile.beatSign * profile.fmcwToneHz(truth[0].rangeM, truth[0].speedMps)
                                   : profile.frequencyForSpeed(truth[0].speedMps);
            // Clear of the zone round zero frequency by half a bin (and, in FMCW, on the beat side).
            if (std::abs(hz) < floorHz + 0.5 * binHz || (fmcw && hz < 0.0))
                continue;
            QVERIFY2(!analysis.targets.empty(), qPrintable(QStringLiteral("frame %1").arg(index)));
            const RadarTarget &strongest = analysis.targets.front();
            const double expected = fmcw ? profile.rangeForBeat(hz) : truth[0].speedMps;
            const double seen = fmcw ? strongest.rangeM : strongest.speedMps;
            const double bin = fmcw ? profile.rangeForBeat(binHz) : std::abs(profile.speedForFrequency(binHz));
            QVERIFY2(std::abs(seen - expected) < 0.25 * bin,
                     qPrintable(QStringLiteral("frame %1: %2 for %3").arg(index).arg(seen).arg(expected)));
            ++checked[fmcw ? 1 : 0];
            receded = receded || truth[0].speedMps > 0.0;
        }
        // Most frames of each kind were checked, some of them after the car had passed.
        QVERIFY2(checked[0] > 10 && checked[1] > 10, qPrintable(QStringLiteral("%1 %2").arg(checked[0]).arg(checked[1])));
        QVERIFY(receded);
    }

    // A scene's target heading straight at the sensor turns its echo the way a still target of
    // the same speed does: in CW their frames differ only by the ADC's rounding.
    void sceneTargetTurnsLikeAStillOne()
    {
        RadarProfile profile;
        QString error;
        QVERIFY2(RadarProfile::parse(exampleProfile("half"), "example", &profile, &error), qPrintable(error));
        for (int samples : {24, 100, 200}) {
            BoardModel still(SimMode::Cw, samples, 2), moving(SimMode::Cw, samples, 2);
            still.setRadarScene(profile, {{30.0, -3.0, 45.0}});
            SimScene scene; // 30 frames take up to 4.2 s: it stays on this side of the sensor
            scene.targets.push_back({0.0, 1e9, 30.0, -3.0, 0.0, 45.0});
            moving.setScene(profile, scene);
            int largest = 0;
            for (int index = 0; index < 30; ++index) {
                const FrameValues a = still.frame(index), b = moving.frame(index);
                for (size_t k = 0; k < a.i.size(); ++k)
                    largest = std::max({largest, std::abs(a.i[k] - b.i[k]), std::abs(a.q[k] - b.q[k])});
            }
            QVERIFY2(largest <= 1, qPrintable(QStringLiteral("n=%1: %2 digits apart").arg(samples).arg(largest)));
        }
    }

    // The options as the programs read them: a bad value is refused with one line naming the
    // option and what it wants; a good one tells the user where a target shows when that is not
    // where it is, and of tones the ADC clips.
    void simulatorOptionsAndWarnings_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error"); // "" when accepted
        QTest::addColumn<QStringList>("warnings");
        const QString half = profileFile("half"), full = profileFile("full");

        QTest::newRow("--dc without --radar") << QStringList{"--dc", "300,-200"}
                                              << "--dc needs --radar PROFILE.json" << QStringList();
        QTest::newRow("--clutter without --radar") << QStringList{"--clutter", "3,60"}
                                                   << "--clutter needs --radar PROFILE.json" << QStringList();
        const QString imbalance = QStringLiteral("--iq-imbalance wants GAIN_DB,PHASE_DEG (gain within \u00b16 dB, "
                                                 "phase within \u00b130 degrees), not '%1'");
        for (const char *bad : {"7,0", "1,-31", "1", "1,6,2", "1;6"})
            QTest::addRow("--iq-imbalance %s", bad) << QStringList{"--radar", half, "--iq-imbalance", bad}
                                                   << imbalance.arg(bad) << QStringList();
        for (const char *bad : {"2048,0", "300", "nan,0", "300,-200,5"})
            QTest::addRow("--dc %s", bad)
                << QStringList{"--radar", half, "--dc", bad}
                << QStringLiteral("--dc wants I,Q in digits from mid-scale (each within \u00b12047), not '%1'").arg(bad)
                << QStringList();
        for (const char *bad : {"-1", "101", "fast"})
            QTest::addRow("--dc-drift %s", bad) << QStringList{"--radar", half, "--dc-drift", bad}
                                               << QStringLiteral("--dc-drift wants DIGITS_PER_S from 0 to 100, not '%1'").arg(bad)
                                               << QStringList();
        // A reflector that stands still has no speed to give.
        for (const char *bad : {"3", "-1,40", "3,101", "3,0,50"})
            QTest::addRow("--clutter %s", bad) << QStringList{"--radar", half, "--clutter", "10,40", "--clutter", bad}
                                              << QStringLiteral("--clutter wants RANGE_M,LEVEL_DB (range 0 to 100 km, "
                                                                "level up to 100 dB), not '%1'").arg(bad)
                                              << QStringList();

        // A person at rest: a heartbeat needs both its figures; where FMCW frames do not show
        // them, or their chest outruns the phase unwrapping (a quarter wavelength a frame at the
        // line's pace: 11.2 frames/s at n = 128), it is said.
        QTest::newRow("--person with half a heartbeat")
            << QStringList{"--radar", half, "--person", "1.5,4,15,0.3"}
            << "--person '1.5,4,15,0.3': a heartbeat needs both HMM and HPER_MIN (its amplitude in mm and its "
               "rate a minute); give both or neither"
            << QStringList();
        QTest::newRow("--person at rest in CW") << QStringList{"--radar", half, "--person", "1.5,4,15,0.3,72"} << ""
                                                << QStringList();
        QTest::newRow("--person beyond the span")
            << QStringList{"--radar", half, "--mode", "fmcw", "--person", "50,4,15"} << ""
            << QStringList{"person 50,4,15: its beat tone (50.0 m) is beyond the 38.4 m the analysis reads "
                           "(range_span half): it lies on the side the analysis does not read and is not reported"};
        QTest::newRow("--person too near")
            << QStringList{"--radar", half, "--mode", "alternate", "--person", "0.1,4,15"} << ""
            << QStringList{"person 0.1,4,15: nearer than the nearest range the analysis reports ("
                           + QString::number(0.6 * RadarAnalyzer::blindBins(SpectrumWindow::Hann, 128), 'f', 2)
                           + " m at n = 128): said as too near, not as a target"};
        QTest::newRow("--person breathing too fast")
            << QStringList{"--radar", half, "--person", "1.5,40,40"} << ""
            << QStringList{"person 1.5,40,40: the chest moves up to 167.7 mm/s, faster than the phase unwrapping "
                           "follows at 11.2 frames/s of a mode (a quarter wavelength, 3.1 mm, a frame: 35 mm/s)"};
        // A walker with an offset and clutter is worth no word: the offset and the clutter are
        // learnt over frames, and 1.0 m/s is above the slowest speed reported at n = 128.
        QTest::newRow("walker with an offset and clutter")
            << QStringList{"--radar", half, "--target", "5,-1.0,40", "--dc", "300,-200", "--clutter", "3,60",
                           "--iq-imbalance", "1,6", "--dc-drift", "2", "--mode", "alternate"}
            << "" << QStringList();

        // CW: beyond the profile's speeds a tone folds by twice v_max (124.2 m/s), and may fold
        // into the slowest speeds.
        const QString beyondSpeed = QStringLiteral("%1 m/s is beyond the \u00b162.1 m/s the profile tells apart: ");
        QTest::newRow("CW beyond v_max")
            << QStringList{"--radar", half, "--target", "12,80", "--target", "12,-70"} << ""
            << QStringList{"target 12,80: " + beyondSpeed.arg(80) + "it folds and is reported at -44.3 m/s",
                           "target 12,-70: " + beyondSpeed.arg(-70) + "it folds and is reported at 54.3 m/s"};
        QTest::newRow("CW folded onto the slowest speeds")
            << QStringList{"--radar", half, "--target", "12,124"} << ""
            << QStringList{"target 12,124: " + beyondSpeed.arg(124) + "it folds to -0.3 m/s, below the slowest speed "
                           "the analysis reports ("
                               + QString::number(RadarAnalyzer::blindBins(SpectrumWindow::Hann, 128) * 0.97083, 'f', 2)
                               + " m/s at n = 128): said as slow motion, not as a target"};
        // Below the floor, at every size a board sends: half the slowest reported speed is said,
        // a fifth above it is not. The floor is the analysis's own.
        for (int samples : {24, 100, 128, 200, 255}) {
            RadarProfile profile;
            QString error;
            if (!RadarProfile::parse(exampleProfile("half"), "example", &profile, &error))
                QFAIL(qPrintable(error));
            const double floorHz = RadarAnalyzer::blindBins(SpectrumWindow::Hann, samples) * profile.sampleRateHz / samples;
            const double slowest = std::abs(profile.speedForFrequency(floorHz));
            const double nearest = profile.rangeForBeat(floorHz);
            const QString slow = QString::number(-0.5 * slowest, 'f', 3), fast = QString::number(1.2 * slowest, 'f', 3);
            const QString near = QString::number(0.5 * nearest, 'f', 3), far = QString::number(1.2 * nearest, 'f', 3);
            QTest::addRow("below the floor, n=%d", samples)
                << QStringList{"--radar", half, "--samples", QString::number(samples), "--mode", "alternate",
                               "--target", "20," + slow, "--target", near + ",0", "--target", far + ",0",
                               "--target", "20," + fast, "--clutter", near + ",50"}
                << ""
                << QStringList{
                       QStringLiteral("target 20,%1: below the slowest speed the analysis reports (%2 m/s at n = %3): "
                                      "said as slow motion, not as a target")
                           .arg(slow, QString::number(slowest, 'f', 2)).arg(samples),
                       // Standing still: learnt with the clutter in CW frames, and nearer than the
                       // floor in FMCW ones.
                       QStringLiteral("target %1,0: stands still: in CW frames it is learnt with the offset and the "
                                      "clutter, not reported")
                           .arg(near),
                       QStringLiteral("target %1,0: nearer than the nearest range the analysis reports (%2 m at n = %3): "
                                      "said as too near, not as a target")
                           .arg(near, QString::number(nearest, 'f', 2)).arg(samples),
                       QStringLiteral("target %1,0: stands still: in CW frames it is learnt with the offset and the "
                                      "clutter, not reported")
                           .arg(far)};
        }

        // FMCW: between R_max and 2 R_max the tone lies on the spectrum's other side, read with
        // the full span only; beyond 2 R_max (76.7 m) it wraps round.
        const QString beyondHalf = QStringLiteral("its beat tone (%1 m) is beyond the 38.4 m the analysis reads (range_span half): ");
        const QString beyondFull = QStringLiteral("its beat tone (%1 m) is beyond the 76.7 m the analysis reads (range_span full): ");
        const QString otherSide = QStringLiteral("it lies on the side the analysis does not read and is not reported");
        QTest::newRow("FMCW beyond R_max, half span")
            << QStringList{"--radar", half, "--mode", "fmcw", "--target", "50,0", "--clutter", "60,40"} << ""
            << QStringList{"target 50,0: " + beyondHalf.arg("50.0") + otherSide,
                           "clutter 60,40: " + beyondHalf.arg("60.0") + otherSide};
        QTest::newRow("FMCW beyond R_max, full span")
            << QStringList{"--radar", full, "--mode", "fmcw", "--target", "50,0", "--clutter", "60,40"} << ""
            << QStringList();
        QTest::newRow("FMCW beyond 2 R_max, half span")
            << QStringList{"--radar", half, "--mode", "fmcw", "--target", "90,0", "--target", "120,0"} << ""
            << QStringList{"target 90,0: " + beyondHalf.arg("90.0") + "it folds and is reported at 13.3 m",
                           "target 120,0: " + beyondHalf.arg("120.0") + otherSide};
        QTest::newRow("FMCW beyond 2 R_max, full span")
            << QStringList{"--radar", full, "--mode", "fmcw", "--target", "90,0", "--target", "120,0"} << ""
            << QStringList{"target 90,0: " + beyondFull.arg("90.0") + "it folds and is reported at 13.3 m",
                           "target 120,0: " + beyondFull.arg("120.0") + "it folds and is reported at 43.3 m"};
        // The tone as made holds the Doppler shift: 37 m approaching at 10 m/s beats like 43.2 m,
        // and a near receding one beats on the other side of zero.
        QTest::newRow("FMCW moved by its Doppler shift, half span")
            << QStringList{"--radar", half, "--mode", "fmcw", "--target", "37,-10", "--target", "1,12"} << ""
            << QStringList{"target 37,-10: " + beyondHalf.arg("43.2") + otherSide,
                           "target 1,12: its Doppler shift takes its beat tone past zero frequency: " + otherSide};
        QTest::newRow("FMCW moved by its Doppler shift, full span")
            << QStringList{"--radar", full, "--mode", "fmcw", "--target", "37,-10", "--target", "1,12"} << ""
            << QStringList{"target 1,12: its Doppler shift takes its beat tone past zero frequency: "
                           "it folds and is reported at 70.3 m"};

        // The ADC's rails: 2047 digits above mid-scale, 2048 below.
        const QString rails = QStringLiteral("its tone of %1 digits%2 reaches the ADC's rails: frames will be clipped");
        QTest::newRow("70 dB tone")
            << QStringList{"--radar", half, "--target", "12,-7.5,70", "--clutter", "3,70"} << ""
            << QStringList{"target 12,-7.5,70: " + rails.arg(3162).arg(""), "clutter 3,70: " + rails.arg(3162).arg("")};
        QTest::newRow("65 dB tone alone") << QStringList{"--radar", half, "--target", "12,-7.5,65"} << ""
                                          << QStringList();
        QTest::newRow("65 dB tone with an offset")
            << QStringList{"--radar", half, "--target", "12,-7.5,65", "--dc", "300,0"} << ""
            << QStringList{"target 12,-7.5,65: " + rails.arg(1778).arg(" with the offset")};
        QTest::newRow("65 dB tone with Q's gain")
            << QStringList{"--radar", half, "--target", "12,-7.5,65", "--iq-imbalance", "1.5,0"} << ""
            << QStringList{"target 12,-7.5,65: " + rails.arg(1778).arg("")};
        QTest::newRow("60 dB tone with a steady offset") << QStringList{"--radar", half, "--target", "12,-7.5,60", "--dc", "0,800"}
                                                         << "" << QStringList();
        QTest::newRow("60 dB tone with a drifting offset")
            << QStringList{"--radar", half, "--target", "12,-7.5,60", "--dc", "0,800", "--dc-drift", "10"} << ""
            << QStringList{"target 12,-7.5,60: " + rails.arg(1000).arg(" with the offset")};
    }

    void simulatorOptionsAndWarnings()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        QFETCH(QStringList, warnings);
        QCommandLineParser parser;
        addSimulatorOptions(parser, true);
        QVERIFY(parser.parse(QStringList{"vazorez-sim"} + arguments));
        SimulatorOptions options;
        QString message;
        const bool accepted = readSimulatorOptions(parser, options, &message);
        QCOMPARE(message, error);
        QCOMPARE(accepted, error.isEmpty());
        QCOMPARE(options.warnings, warnings);
    }
};

QTEST_GUILESS_MAIN(TestSimCore)
#include "tst_simcore.moc"

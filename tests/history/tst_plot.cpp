// SPDX-License-Identifier: MIT
// vazorez-plot as a process, on recordings made with the simulator's board and encoder.
#include "boardmodel.h"
#include "colourmap.h"
#include "frameencoder.h"
#include "linesettings.h"
#include "qtwarnings.h"
#include "radarprofile.h"

#include <QImage>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr int kFrames = 600;
constexpr int kSpikeFrame = 321;

QString joined(const std::vector<int16_t> &values)
{
    QStringList parts;
    for (int16_t value : values)
        parts << QString::number(value);
    return parts.join(',');
}

// The board's frames (CW, then FMCW: two blocks) with one frame at 60 dB in bin 55, away from the
// targets, written as a raw capture with junk between frames, and as the csv and jsonl
// vazorez-capture writes; and the same raw capture without the spike.
void writeRecordings(const QString &directory)
{
    QByteArray raw, quiet;
    QString csv = "frame,time_s,mode,k,i,q,s\n", jsonl;
    BoardModel cw(SimMode::Cw, 128, 7), fmcw(SimMode::Fmcw, 128, 7);
    for (int index = 0; index < kFrames; ++index) {
        FrameValues values = index < kFrames / 2 ? cw.frame(index) : fmcw.frame(index);
        if (index % 50 == 7) {
            raw += QByteArray(13, '\x5a'); // junk the receive rules drop
            quiet += QByteArray(13, '\x5a');
        }
        quiet += encodeFrame(values);
        if (index == kSpikeFrame)
            values.s[127 - 55] = 60;
        raw += encodeFrame(values);
        const QString time = QString::number(LineSettings::secondsFor(raw.size()), 'f', 6);
        const QString mode = values.mode ? "FMCW" : "CW";
        for (size_t k = 0; k < values.s.size(); ++k)
            csv += QStringLiteral("%1,%2,%3,%4,%5,%6,%7\n")
                       .arg(index)
                       .arg(time, mode)
                       .arg(k)
                       .arg(values.i[k])
                       .arg(values.q[k])
                       .arg(values.s[k]);
        QStringList s;
        for (int32_t value : values.s)
            s << QString::number(value);
        jsonl += QStringLiteral("{\"frame\":%1,\"time_s\":%2,\"mode\":\"%3\",\"n\":128,\"i\":[%4],"
                                "\"q\":[%5],\"s\":[%6]}\n")
                     .arg(index)
                     .arg(time, mode, joined(values.i), joined(values.q), s.join(','));
    }
    auto save = [&](const QString &name, const QByteArray &bytes) {
        QFile file(directory + "/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    save("rec.raw", raw);
    save("quiet.raw", quiet);
    save("rec.csv", csv.toUtf8());
    save("rec.jsonl", jsonl.toUtf8());
    save("junk.raw", QByteArray(5000, '\xa2'));
    save("empty.raw", QByteArray());
    save("notes.txt", "a text file, not frames\n");
    save("broken.csv", "frame,time_s,mode,k,i,q,s\n0,0.1,CW,0,1,2,3\n0,0.1,CW,5,1,2,3\n");
    // One CW target per recording at these speeds, seen through the example radar profile.
    RadarProfile profile;
    QString error;
    QFile example(QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json"));
    QVERIFY(example.open(QIODevice::ReadOnly)
        && RadarProfile::parse(example.readAll(), example.fileName(), &profile, &error));
    for (int speed : {-30, 10, 30}) {
        BoardModel board(SimMode::Cw, 64, 5);
        board.setRadarScene(profile, {{0.0, double(speed), 55.0}});
        QByteArray frames;
        for (int index = 0; index < 100; ++index)
            frames += encodeFrame(board.frame(index));
        save(QStringLiteral("speed%1.raw").arg(speed), frames);
    }
}

// The picture's column with the most pixels at 45 dB or more.
int brightestColumn(const QImage &image)
{
    const auto &colours = ColourMap::viridis();
    const QSet<QRgb> bright(colours.begin() + ColourMap::levelForDb(45.0f), colours.end());
    int best = -1, bestCount = 0;
    for (int x = 0; x < image.width() - 100; ++x) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            count += bright.contains(image.pixel(x, y)) ? 1 : 0;
        if (count > bestCount) {
            best = x;
            bestCount = count;
        }
    }
    return best;
}

// Pixels at 60 dB or more, left of the colour bar (in the right 100 pixels).
int topColoured(const QImage &image)
{
    const QRgb top = ColourMap::viridis().back();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width() - 100; ++x)
            count += image.pixel(x, y) == top;
    return count;
}

struct Run {
    int exitCode = -1;
    QString out, err;
};

Run plot(const QStringList &arguments,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(siblingProgram("vazorez-plot"), arguments);
    Run run;
    if (!process.waitForFinished(60000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

} // namespace

class TestPlot : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(directory.isValid());
        writeRecordings(directory.path());
    }

    void picturesOfEachFormat_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("throughLink"); // -o names a symbolic link to an older picture
        QTest::newRow("raw, default size") << "rec.raw" << QStringList{} << false;
        QTest::newRow("raw, small")
            << "rec.raw" << QStringList{"--width", "500", "--height", "400"} << false;
        QTest::newRow("csv") << "rec.csv" << QStringList{} << false;
        QTest::newRow("jsonl") << "rec.jsonl" << QStringList{} << false;
        QTest::newRow("raw, one frame's I and Q")
            << "rec.raw" << QStringList{"--frame", "10"} << false;
        QTest::newRow("jsonl, through a symbolic link") << "rec.jsonl" << QStringList{} << true;
    }

    // Every format gives the same picture of the same frames at the same times; the one-frame
    // spike at 60 dB survives the reduction of 600 frames to a few hundred rows.
    void picturesOfEachFormat()
    {
        QFETCH(QString, input);
        QFETCH(QStringList, options);
        QFETCH(bool, throughLink);
        const QString output
            = directory.filePath(QString(QTest::currentDataTag()).replace(' ', '_') + ".png");
        if (throughLink) {
            // The link stays and points at the file it pointed at, which gets the new picture.
            QFile older(directory.filePath("linked.png"));
            QVERIFY(older.open(QIODevice::WriteOnly) && older.write("older picture") > 0);
            older.close();
            QVERIFY(::symlink("linked.png", QFile::encodeName(output).constData()) == 0);
        }
        const Run run = plot(QStringList{directory.filePath(input), "-o", output} + options);
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        if (throughLink) {
            QVERIFY(QFileInfo(output).isSymLink());
            QCOMPARE(QFileInfo(output).symLinkTarget(), directory.filePath("linked.png"));
            QVERIFY(!QImage(directory.filePath("linked.png")).isNull());
            QCOMPARE(QDir(directory.path()).entryList({"*.part-*"}), QStringList());
        }
        QVERIFY2(run.err.contains(QStringLiteral("%1 frames").arg(kFrames)), qPrintable(run.err));
        const QImage image(output);
        QVERIFY(!image.isNull());
        const int width = options.contains("--width") ? 500 : 900;
        QCOMPARE(image.size(), QSize(width, options.contains("--height") ? 400 : 1200));
        // More of the top colour than in the same picture without the spike.
        const QString quietOutput = directory.filePath("quiet.png");
        QCOMPARE(plot(QStringList{directory.filePath("quiet.raw"), "-o", quietOutput} + options)
                     .exitCode,
            0);
        QVERIFY2(topColoured(image) > topColoured(QImage(quietOutput)),
            qPrintable(QString::number(topColoured(image))));
        if (options.isEmpty() && input != "rec.raw") {
            // Below the title (which names the file) the picture is the raw one's.
            const QImage raw(directory.filePath("raw,_default_size.png"));
            QCOMPARE(image.copy(0, 30, width, 1170), raw.copy(0, 30, width, 1170));
        }
    }

    // With a radar profile the waterfall's x is speed: targets at -30, 10 and 30 m/s lie in that
    // order, 40 and 20 m/s apart.
    void radarAxisIsSpeed()
    {
        QMap<int, int> column;
        for (int speed : {-30, 10, 30}) {
            const QString output = directory.filePath(QStringLiteral("speed%1.png").arg(speed));
            const Run run = plot({directory.filePath(QStringLiteral("speed%1.raw").arg(speed)),
                "-o", output, "--radar", QStringLiteral(VAZOREZ_SOURCE_DIR "/profiles/example-k-band.json")});
            QVERIFY2(run.exitCode == 0, qPrintable(run.err));
            column[speed] = brightestColumn(QImage(output));
        }
        QVERIFY2(column[-30] < column[10] && column[10] < column[30],
            qPrintable(QStringLiteral("%1 %2 %3").arg(column[-30]).arg(column[10]).arg(column[30])));
        const double ratio = double(column[30] - column[10]) / (column[10] - column[-30]);
        QVERIFY2(std::abs(ratio - 0.5) < 0.05, qPrintable(QString::number(ratio)));
    }

    void badInput_data()
    {
        QTest::addColumn<QStringList>("arguments"); // @ is the temporary directory
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        // Every byte left over is counted as dropped, those the end of the file cuts off too.
        QTest::newRow("no frame in the bytes") << QStringList{"@/junk.raw", "-o", "@/x.png"} << 1
                                               << "(5000 bytes, 0 rejected, 5000 bytes dropped)";
        QTest::newRow("a text file") << QStringList{"@/notes.txt", "-o", "@/x.png"} << 1
                                     << "(24 bytes, 0 rejected, 24 bytes dropped)";
        QTest::newRow("empty file")
            << QStringList{"@/empty.raw", "-o", "@/x.png"} << 1 << "no frame in";
        QTest::newRow("missing file")
            << QStringList{"@/missing.raw", "-o", "@/x.png"} << 1 << "cannot read";
        QTest::newRow("broken csv")
            << QStringList{"@/broken.csv", "-o", "@/x.png"} << 1 << "line 3";
        QTest::newRow("unwritable output")
            << QStringList{"@/rec.raw", "-o", "@/no/such/dir/x.png"} << 1 << "cannot write";
        // A picture is a file: a device or a pipe under its name stays as it was.
        QTest::newRow("output is a FIFO")
            << QStringList{"@/rec.raw", "-o", "@/fifo.png"} << 1
            << "cannot write " + directory.filePath("fifo.png") + ": not a regular file";
        QTest::newRow("output is a device")
            << QStringList{"@/rec.raw", "-o", "@/device.png"} << 1
            << "cannot write " + directory.filePath("device.png") + ": not a regular file";
        QTest::newRow("output links to a device")
            << QStringList{"@/rec.raw", "-o", "@/device-link.png"} << 1 << "not a regular file";
        QTest::newRow("frame past the end") << QStringList{"@/rec.raw", "-o", "@/x.png", "--frame",
            "600"} << 1 << "has only 600 frames";
        QTest::newRow("no output") << QStringList{"@/rec.raw"} << 2 << "-o";
        QTest::newRow("no file") << QStringList{"-o", "@/x.png"} << 2 << "FILE";
        QTest::newRow("two files")
            << QStringList{"@/rec.raw", "@/rec.csv", "-o", "@/x.png"} << 2 << "FILE";
        QTest::newRow("width not a number")
            << QStringList{"@/rec.raw", "-o", "@/x.png", "--width", "wide"} << 2 << "--width";
        QTest::newRow("height too small")
            << QStringList{"@/rec.raw", "-o", "@/x.png", "--height", "10"} << 2 << "--height";
        QTest::newRow("negative frame")
            << QStringList{"@/rec.raw", "-o", "@/x.png", "--frame", "-1"} << 2 << "--frame";
        QTest::newRow("unknown option")
            << QStringList{"@/rec.raw", "-o", "@/x.png", "--colour"} << 2 << "colour";
        QTest::newRow("radar profile missing")
            << QStringList{"@/rec.raw", "-o", "@/x.png", "--radar", "@/none.json"} << 2
            << "cannot read radar profile";
        QTest::newRow("unknown window")
            << QStringList{"@/rec.raw", "-o", "@/x.png", "--radar", "@/none.json", "--window", "flat"}
            << 2 << "--window wants";
        QTest::newRow("radar profile not JSON")
            << QStringList{"@/rec.raw", "-o", "@/x.png", "--radar", "@/broken.csv"} << 2 << "not JSON";
    }

    // Each failure says why on one line of standard error and leaves no picture behind.
    void badInput()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        arguments.replaceInStrings("@", directory.path());
        const QString output = arguments.value(arguments.indexOf("-o") + 1);
        const QByteArray outputName = QFile::encodeName(output);
        if (output.endsWith("fifo.png"))
            QVERIFY(::mkfifo(outputName.constData(), 0600) == 0 || errno == EEXIST);
        if (output.contains("device")) {
            // A device node of its own (the null device's numbers), made where the test may.
            const QByteArray device = QFile::encodeName(directory.filePath("device.png"));
            if (::mknod(device.constData(), S_IFCHR | 0600, makedev(1, 3)) != 0 && errno != EEXIST)
                QSKIP("making a device node needs root");
            if (output.endsWith("device-link.png"))
                QVERIFY(::symlink("device.png", outputName.constData()) == 0 || errno == EEXIST);
        }
        struct stat before = {};
        const bool existed = ::lstat(outputName.constData(), &before) == 0;
        const Run run = plot(arguments);
        QCOMPARE(run.exitCode, exitCode);
        const QStringList lines = run.err.split('\n', Qt::SkipEmptyParts).filter("vazorez-plot:");
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains(message), qPrintable(lines.first()));
        QVERIFY(!QFile::exists(directory.filePath("x.png")));
        if (existed) {
            struct stat after = {};
            QVERIFY(::lstat(outputName.constData(), &after) == 0);
            QCOMPARE(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
            QCOMPARE(after.st_ino, before.st_ino);
        }
        QCOMPARE(QDir(directory.path()).entryList({"*.part-*"}), QStringList());
    }

    // --help needs neither a display nor a platform chosen by the caller.
    void helpWithoutADisplay()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("QT_QPA_PLATFORM");
        const Run run = plot({"--help"}, environment);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.contains("--frame"));
    }

private:
    QTemporaryDir directory;
};

QTEST_MAIN(TestPlot)
#include "tst_plot.moc"

// SPDX-License-Identifier: MIT
// vazorez-plot FILE -o OUT.png: a picture of a whole recording, drawn by the same code as the live
// spectrum history window.
#include "hdf5recording.h"
#include "outputfile.h"
#include "plotpicture.h"
#include "profilefile.h"
#include "recordingreader.h"
#include "stalledstop.h"
#include "stopsignals.h"
#include "toolcli.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageWriter>

#include <cstdio>
#include <optional>

namespace {

constexpr int kDefaultWidth = 900;
constexpr int kDefaultHeight = 1200;

bool readSize(const QCommandLineParser &parser, const QString &name, int fallback, int lowest,
    int *value, QString *error)
{
    *value = fallback;
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    *value = parser.value(name).toInt(&ok);
    if (!ok || *value < lowest || *value > 10000) {
        *error = QStringLiteral("--%1 wants a whole number from %2 to 10000, not '%3'")
                     .arg(name)
                     .arg(lowest)
                     .arg(parser.value(name));
        return false;
    }
    return true;
}

int fail(const QString &message)
{
    std::fprintf(stderr, "vazorez-plot: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // Text is drawn on an image: fonts need a platform plugin, never a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication::setApplicationName("vazorez-plot");
    // The offscreen platform's notice about a missing runtime directory says nothing about the
    // picture: every other line stays one line on standard error.
    qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            if (!message.contains(QLatin1String("XDG_RUNTIME_DIR")))
                printAllButDebug(type, context, message);
        });
    QGuiApplication application(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Draws a whole recording as a picture: the waterfall of every frame's spectrum (x = the "
        "FFT\n"
        "chart's bins, y = time_s, newest at the top, colour = dB on the chart's -35 to 60 scale), "
        "rows\n"
        "reduced to the picture's height by their maximum, and above it each frame's I and Q\n"
        "peak-to-peak over time, or the I and Q of one frame with --frame.\n"
        "FILE is a raw capture or a dump of the line (decoded by the viewer's rules; time_s is "
        "when a\n"
        "frame's last byte arrives at 115200 baud), or a csv, jsonl or h5 recording written by\n"
        "vazorez-capture or the viewer (time_s as measured).\n"
        "Ctrl-C, SIGTERM or SIGHUP stops it without a picture (an existing OUT stays as it was),\n"
        "with exit status 128 + the signal's number.");
    parser.addHelpOption();
    parser.addPositionalArgument("FILE", "The recording.");
    parser.addOptions({
        {{"o", "output"},
            "Write the picture to FILE: .png (or another raster format Qt writes, such as .jpg).",
            "FILE"},
        {"width", QStringLiteral("Picture width in pixels (default %1).").arg(kDefaultWidth), "W"},
        {"height", QStringLiteral("Picture height in pixels (default %1).").arg(kDefaultHeight),
            "H"},
        {"frame", "Show the I and Q of frame N (counted from 0) above the waterfall.", "N"},
        {"radar",
            "Draw the host's own spectrum of I + jQ on the axis of the radar profile FILE\n"
            "(JSON): speed in m/s for CW (negative approaching, zero in the middle), range\n"
            "in metres for FMCW. The first frame's mode is drawn, the other left out.\n"
            "Without it, FILE.radar.json (beside a recording the viewer made with a\n"
            "profile) is used when there is one.",
            "FILE"},
        {"window", "The window for --radar: hann (default), blackman-harris or none.", "WINDOW",
            "hann"},
    });
    if (const auto exitCode = parseArguments(parser))
        return *exitCode;
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("give exactly one FILE"));
    if (!parser.isSet("output") || parser.value("output").isEmpty())
        return usageError(QStringLiteral("give the picture's file with -o"));
    QString error;
    int width = 0, height = 0;
    if (!readSize(parser, "width", kDefaultWidth, 320, &width, &error)
        || !readSize(parser, "height", kDefaultHeight, 320, &height, &error))
        return usageError(error);
    std::optional<int64_t> frameWanted;
    if (parser.isSet("frame")) {
        bool ok = false;
        frameWanted = parser.value("frame").toLongLong(&ok);
        if (!ok || *frameWanted < 0)
            return usageError(QStringLiteral("--frame wants a frame number from 0, not '%1'")
                                  .arg(parser.value("frame")));
    }
    const QString inputPath = parser.positionalArguments().first();
    const QString outputPath = parser.value("output");
    // A name that promises another format (p.svg) must not hold PNG bytes; no extension means PNG.
    QByteArray imageFormat = QFileInfo(outputPath).suffix().toLower().toLatin1();
    if (imageFormat.isEmpty())
        imageFormat = "png";
    if (!QImageWriter::supportedImageFormats().contains(imageFormat))
        return usageError(
            QStringLiteral("cannot write .%1 pictures: name the output .png (or .jpg, .bmp)")
                .arg(QString::fromLatin1(imageFormat)));

    RadarProfile profile;
    bool profileFound = false;
    RadarSettings settings;
    if (!spectrumWindowFromName(parser.value("window"), &settings.window))
        return usageError(QStringLiteral("--window wants hann, blackman-harris or none, not '%1'")
                              .arg(parser.value("window")));
    // Without --radar, the profile a recording was made with: beside it, or kept in it (h5). One
    // that is refused is said, and the picture is drawn in bins.
    const QString profilePath = parser.value("radar");
    if (!profilePath.isEmpty()) {
        QStringList warnings;
        if (!RadarProfile::load(profilePath, &profile, &error, &warnings))
            return usageError(error);
        for (const QString &warning : warnings)
            std::fprintf(stderr, "vazorez-plot: %s\n", qPrintable(warning));
        profileFound = true;
    } else {
        setEmbeddedProfileReader(&Hdf5Recording::radarProfileOf);
        QString origin;
        switch (loadRadarSidecar(inputPath, &profile, &error, &origin)) {
        case RadarSidecar::Loaded:
            std::fprintf(stderr, "vazorez-plot: radar profile from %s\n", qPrintable(origin));
            profileFound = true;
            break;
        case RadarSidecar::Refused:
            std::fprintf(stderr, "vazorez-plot: %s; drawn in bins\n", qPrintable(error));
            break;
        case RadarSidecar::None:
            break;
        }
    }

    // A stop ends the work at once, without a picture: the temporary file goes, and the tool
    // says so. A second one waits for that.
    StopSignals stopSignals;
    stopSignals.holdFromFirstSignal();
    if (!stopSignals.install([] {}, &error, QStringLiteral("stopping without a picture")))
        return fail(error);
    StalledStop stalledStop("vazorez-plot");
    RecordingReader reader;
    if (!reader.open(inputPath, &error))
        return fail(error);
    // Fail on the output before the work, and with the reason; an existing picture is replaced only
    // by a complete new one, written by the rules every tool's output follows (through a symbolic
    // link, never over a device or a pipe).
    OutputFile output;
    if (!output.open(outputPath, OutputFile::Accept::RegularFileOnly))
        return fail(QStringLiteral("cannot write %1: %2").arg(outputPath, output.errorString()));
    stalledStop.setOutput(output.writingPath(), OutputFile::untouched(outputPath));

    PlotPicture picture(height);
    if (profileFound)
        picture.setRadar(profile, settings);
    std::optional<ChosenFrame> chosen;
    int64_t index = 0;
    const bool read = reader.read(
        [&](const frame_t &record, double seconds) {
            picture.add(record, seconds);
            if (frameWanted && index == *frameWanted)
                chosen = ChosenFrame{
                    index, seconds, record.modulation, record.i_samples, record.q_samples};
            ++index;
        },
        &error);
    if (!read) {
        output.discard();
        return fail(error);
    }
    if (reader.frames() == 0) {
        output.discard();
        return fail(QStringLiteral("no frame in %1 (%2 bytes, %3 rejected, %4 bytes dropped)")
                        .arg(inputPath)
                        .arg(reader.bytes())
                        .arg(reader.framesRejected())
                        .arg(reader.bytesDropped()));
    }
    if (frameWanted && !chosen) {
        output.discard();
        return fail(QStringLiteral("--frame %1: %2 has only %3 frames")
                        .arg(*frameWanted)
                        .arg(inputPath)
                        .arg(reader.frames()));
    }

    if (picture.framesLeftOut() > 0)
        std::fprintf(stderr, "vazorez-plot: %lld %s frames left out: the axis is the %s frames'\n",
            static_cast<long long>(picture.framesLeftOut()), picture.radarMode() ? "CW" : "FMCW",
            picture.radarMode() ? "FMCW" : "CW");
    const SpectrumHistory &history = picture.history();
    const QString title
        = QStringLiteral("%1: %2 frames over %3 s (%4)")
              .arg(QFileInfo(inputPath).fileName())
              .arg(reader.frames())
              .arg(history.lastSeconds(), 0, 'f', 1)
              .arg(reader.format() == RecordingReader::Format::Raw
                      ? QStringLiteral("raw; times reconstructed from the line rate")
                      : QString::fromLatin1(RecordingReader::formatName(reader.format())));
    const QImage image = picture.render(QSize(width, height), title, chosen);
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, imageFormat);
    if (!writer.write(image))
        return fail(QStringLiteral("cannot write %1: %2").arg(outputPath, writer.errorString()));
    stalledStop.takeOver();
    if (StopSignals::caught()) {
        output.discard();
        std::fprintf(
            stderr, "vazorez-plot: stopped; %s\n", qPrintable(OutputFile::untouched(outputPath)));
        return StopSignals::stoppedExitStatus();
    }
    if (!output.write(encoded) || !output.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(outputPath, output.errorString()));
    // A stop that came once the picture was being written finds it whole: said, not hidden.
    if (StopSignals::caught())
        std::fprintf(stderr, "vazorez-plot: the stop came as the picture was written; it is whole\n");
    std::fprintf(stderr,
        "vazorez-plot: %lld frames over %.1f s from %llu bytes, %llu rejected, %llu bytes dropped "
        "-> %s\n",
        static_cast<long long>(reader.frames()), history.lastSeconds(),
        static_cast<unsigned long long>(reader.bytes()),
        static_cast<unsigned long long>(reader.framesRejected()),
        static_cast<unsigned long long>(reader.bytesDropped()), qPrintable(outputPath));
    return 0;
}

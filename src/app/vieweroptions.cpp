// SPDX-License-Identifier: MIT
#include "vieweroptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        "The VazoRez radar board viewer. Pick a port, click \"connect\", watch the frames.\n"
        "Right-click a chart to pause, save a picture or the shown frame, record, or open the\n"
        "spectrum history. Without options the window starts as always.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"port", "Put PORT (a device path or a name as listed, or a board behind a serial port "
                 "server: socket://HOST:PORT or rfc2217://HOST:PORT) at the top of the port list.",
            "PORT"},
        {"connect", "Connect to the selected port at once."},
        {"replay", "Play a raw capture or a dump of the line in the window, without a port.",
            "FILE"},
        {"rate", "Replay pace: line (115200 baud, default), frames per second, or max.", "RATE",
            "line"},
        {"loop", "Replay again from the start when the file ends."},
        {"record",
            "Record every frame of the link to FILE (csv, jsonl or raw, as vazorez-capture).",
            "FILE"},
        {"format", "csv, jsonl or raw (default: from the recording's extension, else csv).",
            "FORMAT"},
        {"history", "Open the spectrum history window."},
        {"radar-view", "Open the radar view (with the radar profile used last)."},
        {"radar", "Open the radar view with the radar profile FILE (JSON).", "FILE"},
    });
}

} // namespace

std::optional<int> answerWithoutWindow(int argc, char *argv[])
{
    bool wanted = false;
    for (int k = 1; k < argc; ++k) {
        const QByteArray argument(argv[k]);
        wanted = wanted || argument == "--help" || argument == "-h" || argument == "-?"
            || argument == "--help-all" || argument == "--version" || argument == "-v";
    }
    if (!wanted)
        return std::nullopt;
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    addOptions(parser);
    parser.parse(QCoreApplication::arguments());
    if (parser.isSet("version")) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
            qPrintable(QCoreApplication::applicationVersion()));
    } else {
        std::fputs(qPrintable(parser.helpText()), stdout);
    }
    return 0;
}

ViewerOptions readViewerOptions(const QStringList &arguments, QStringList *notes)
{
    QCommandLineParser parser;
    addOptions(parser);
    ViewerOptions options;
    if (!parser.parse(arguments))
        notes->append(parser.errorText() + " (ignored)");
    for (const QString &extra : parser.positionalArguments())
        notes->append(QStringLiteral("unexpected argument '%1' (ignored)").arg(extra));
    options.port = parser.value("port");
    options.connect = parser.isSet("connect");
    options.replay = parser.value("replay");
    options.loop = parser.isSet("loop");
    options.record = parser.value("record");
    options.history = parser.isSet("history");
    options.radarView = parser.isSet("radar-view") || parser.isSet("radar");
    options.radar = parser.value("radar");

    const QString rate = parser.value("rate");
    bool ok = rate == "line" || rate == "max";
    if (!ok) {
        const double framesPerSecond = rate.toDouble(&ok);
        ok = ok && framesPerSecond > 0 && framesPerSecond <= 1e6;
    }
    if (ok)
        options.rate = rate;
    else
        notes->append(QStringLiteral(
            "--rate wants line, max or frames per second, not '%1'; replaying at the line's pace")
                          .arg(rate));

    const QString format = parser.value("format");
    if (format.isEmpty() || format == "csv" || format == "jsonl" || format == "raw")
        options.format = format;
    else
        notes->append(QStringLiteral(
            "--format wants csv, jsonl or raw, not '%1'; taking it from the file's extension")
                          .arg(format));
    if (options.connect && options.port.isEmpty() && !options.replay.isEmpty())
        options.connect = false; // a replay starts by itself
    return options;
}

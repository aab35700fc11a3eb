// SPDX-License-Identifier: MIT
#include "vieweroptions.h"

#include "livepublisher.h"
#include "networklink.h"
#include "replaysource.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        "The VazoRez radar board viewer. Pick a port, click \"connect\", watch the frames.\n"
        "Right-click a chart to pause, save a picture or the shown frame, record, or open the\n"
        "spectrum history or the radar view. Without options the window starts as always.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"port",
            "Put PORT (a device path or a name as listed, a board behind a serial port "
            "server: socket://HOST:PORT or rfc2217://HOST:PORT, or a board another viewer or "
            "capture publishes: zmq+tcp://HOST:PORT) at the top of the port list.",
            "PORT"},
        {"connect", "Connect to the selected port at once."},
        {"replay",
            "Play a raw capture, a dump of the line or an h5 recording in the window, without a "
            "port.",
            "FILE"},
        {"rate",
            "Replay pace: line (115200 baud, default), 0.01 to 100000 frames per second, or max.",
            "RATE", "line"},
        {"loop", "Replay again from the start when the file ends."},
        {"record",
            "Record every frame of the link to FILE (csv, jsonl, raw or h5, as vazorez-capture).",
            "FILE"},
        {"format", "csv, jsonl, raw or h5 (default: from the recording's extension, else csv).",
            "FORMAT"},
        {"note", "Keep TEXT with the recording (an h5 file's note attribute).", "TEXT"},
        {"history", "Open the spectrum history window."},
        {"radar-view", "Open the radar view (with the radar profile used last)."},
        {"radar", "Open the radar view with the radar profile FILE (JSON).", "FILE"},
        {"publish",
            "Publish every frame live to other programs on ENDPOINT (ZeroMQ): "
            "tcp://127.0.0.1:PORT (this machine only), tcp://ADDRESS:PORT (the network; no "
            "authentication) or ipc://PATH. An endpoint that cannot be bound is said, and the "
            "viewer runs without publishing.",
            "ENDPOINT"},
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

ViewerOptions readViewerOptions(const QStringList &arguments, QStringList *problems)
{
    QCommandLineParser parser;
    addOptions(parser);
    ViewerOptions options;
    if (!parser.parse(arguments)) {
        problems->append(parser.errorText());
        return options;
    }
    for (const QString &extra : parser.positionalArguments())
        problems->append(QStringLiteral("unexpected argument '%1'").arg(extra));
    options.port = parser.value("port");
    options.connect = parser.isSet("connect");
    options.replay = parser.value("replay");
    options.loop = parser.isSet("loop");
    options.record = parser.value("record");
    options.note = parser.value("note");
    options.history = parser.isSet("history");
    options.rate = parser.value("rate");
    options.format = parser.value("format");
    options.radarView = parser.isSet("radar-view") || parser.isSet("radar");
    options.radar = parser.value("radar");
    options.publish = parser.value("publish");

    const auto needs = [&](const char *option, const char *other) {
        if (parser.isSet(option) && !parser.isSet(other))
            problems->append(QStringLiteral("--%1 needs --%2").arg(option, other));
    };
    needs("rate", "replay");
    needs("loop", "replay");
    needs("format", "record");
    if (parser.isSet("replay") && parser.isSet("port"))
        problems->append(
            QStringLiteral("--replay plays a file in place of a port: give --replay or "
                           "--port, not both"));
    for (const char *option : {"port", "replay", "record"})
        if (parser.isSet(option) && parser.value(option).isEmpty())
            problems->append(QStringLiteral("--%1 wants a name, not ''").arg(option));
    QString malformed;
    if (NetworkLink::isNetworkName(options.port)
        && !NetworkLink::isWellFormed(options.port, &malformed))
        problems->append(QStringLiteral("--port %1: %2").arg(options.port, malformed));
    if (parser.isSet("publish") && options.publish.isEmpty())
        problems->append(
            QStringLiteral("--publish wants an endpoint (tcp://127.0.0.1:5556), not ''"));
    else if (parser.isSet("publish")
        && !LivePublisher::isWellFormedEndpoint(options.publish, &malformed))
        problems->append(QStringLiteral("--publish %1").arg(malformed)); // it names the endpoint

    if (options.rate != "line" && options.rate != "max") {
        bool number = false;
        const double framesPerSecond = options.rate.toDouble(&number);
        if (!number || !(framesPerSecond >= ReplaySource::kSlowestRate)
            || !(framesPerSecond <= ReplaySource::kFastestRate))
            problems->append(
                QStringLiteral("--rate wants line, max or %1 frames per second, not '%2'")
                    .arg(ReplaySource::rateRange(), options.rate));
    }
    if (!options.format.isEmpty() && options.format != "csv" && options.format != "jsonl"
        && options.format != "raw" && options.format != "h5")
        problems->append(
            QStringLiteral("--format wants csv, jsonl, raw or h5, not '%1'").arg(options.format));
    if (parser.isSet("format") && options.format.isEmpty())
        problems->append(QStringLiteral("--format wants csv, jsonl, raw or h5, not ''"));
    if (options.connect && options.port.isEmpty() && !options.replay.isEmpty())
        options.connect = false; // a replay starts by itself
    return options;
}

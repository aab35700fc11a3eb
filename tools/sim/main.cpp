// SPDX-License-Identifier: MIT
// vazorez-sim: the board, in software. Streams frames into a new pseudo-terminal (its path is the
// first line on standard output) or into a serial device.
#include "replayfile.h"
#include "simulator.h"
#include "toolcli.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void requestStop(int)
{
    stopSignal = 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("vazorez-sim");
    qInstallMessageHandler(printAllButDebug); // a replay's junk is summed up once, not per byte

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Writes the radar board's frames, paced like its 115200-baud line, with faults on "
        "demand. Without --device it opens a pseudo-terminal and prints 'port: PATH' first. At "
        "the end it prints 'sent: F frames, B bytes, X faulty': what the reader took. Frames still "
        "in the line when it closed, and frames dropped while nobody read, are counted on "
        "standard error.");
    parser.addHelpOption();
    if (const auto exitCode = parseArguments(parser, addSimulatorOptions(parser, true)))
        return *exitCode;
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    SimulatorOptions options;
    QString error;
    if (!readSimulatorOptions(parser, options, &error))
        return usageError(error);
    options.device = parser.value("device");
    for (const QString &warning : options.warnings)
        std::fprintf(stderr, "vazorez-sim: %s\n", qPrintable(warning));

    Simulator simulator(options);
    if (!options.truthFile.isEmpty() && !simulator.openTruth(options.truthFile, &error))
        return usageError(error);
    if (!options.replayFile.isEmpty()) {
        std::vector<QByteArray> frames;
        QString remark;
        if (!readReplayFile(options.replayFile, &frames, &error, &remark))
            return toolError(error);
        if (!remark.isEmpty())
            std::fprintf(stderr, "vazorez-sim: %s\n", qPrintable(remark));
        simulator.setReplayFrames(std::move(frames));
    }
    if (options.device.isEmpty()) {
        QString path;
        if (!simulator.openPseudoTerminal(&path, &error)) {
            std::fprintf(stderr, "vazorez-sim: %s\n", qPrintable(error));
            return 1;
        }
        std::printf("port: %s\n", qPrintable(path));
        std::fflush(stdout);
    } else if (!simulator.openDevice(options.device, &error)) {
        std::fprintf(stderr, "vazorez-sim: %s\n", qPrintable(error));
        return 1;
    }

    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    simulator.run([] { return stopSignal != 0; },
                  [](const QString &text) { std::fprintf(stderr, "vazorez-sim: %s\n", qPrintable(text)); });
    std::printf("%s\n", qPrintable(simulator.summary()));
    std::fflush(stdout);
    if (!simulator.droppedSummary().isEmpty())
        std::fprintf(stderr, "vazorez-sim: %s\n", qPrintable(simulator.droppedSummary()));
    if (!simulator.truthError().isEmpty()) {
        std::fprintf(stderr, "vazorez-sim: cannot write --truth %s: %s; the stream ended there\n",
                     qPrintable(options.truthFile), qPrintable(simulator.truthError()));
        return 1;
    }
    return 0;
}

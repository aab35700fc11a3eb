// SPDX-License-Identifier: MIT
// vazorez-decode FILE: decodes a raw capture or any dump of the line's bytes, offline, by the same
// rules as the live viewer.
#include "framedecoder.h"
#include "framereceiver.h"
#include "framewriter.h"
#include "toolcli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("vazorez-decode");
    qInstallMessageHandler(printAllButDebug);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Decodes FILE (a raw capture or a dump of the serial line; - for standard input) into csv,\n"
        "jsonl or raw, exactly as the live viewer would. time_s is the time at which the frame's last\n"
        "byte would have arrived on a 115200-baud line.");
    parser.addHelpOption();
    parser.addPositionalArgument("FILE", "Bytes as they came off the line.");
    FrameWriter::addOutputOptions(parser);
    if (const auto exitCode = parseArguments(parser))
        return *exitCode;
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("give exactly one FILE"));
    const QString inputPath = parser.positionalArguments().first();
    const QString outputPath = parser.value("output");
    FrameWriter::Format format;
    QString error;
    if (!FrameWriter::formatFromOptions(parser, &format, &error))
        return usageError(error);

    QFile input;
    const bool opened = inputPath == "-" ? input.open(stdin, QIODevice::ReadOnly)
                                         : (input.setFileName(inputPath), input.open(QIODevice::ReadOnly));
    if (!opened) {
        std::fprintf(stderr, "vazorez-decode: cannot read %s: %s\n", qPrintable(inputPath), qPrintable(input.errorString()));
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    QString target;
    FILE *out = FrameWriter::openOutput(outputPath, &target, &error);
    if (!out) {
        std::fprintf(stderr, "vazorez-decode: %s\n", qPrintable(error));
        return 1;
    }

    FrameWriter writer(out, format);
    FrameReceiver receiver;
    FrameDecoder decoder;
    frame_t record;
    int64_t written = 0;
    bool failed = !writer.writeHeader();
    // Offsets count the bytes fed so far; a frame is complete by the end of the chunk it ends in.
    uint64_t fed = 0;
    const auto sink = [&](const frame_t &frame, const char *bytes, int length) {
        if (failed)
            return;
        const double seconds = double(fed) * 10.0 / 115200.0;
        failed = !writer.write(written, seconds, frame, bytes, length);
        written += failed ? 0 : 1;
    };
    // Chunks the size of a serial read: the rules give the same frames whatever the chunking.
    while (!failed && !input.atEnd()) {
        const QByteArray chunk = input.read(4096);
        if (chunk.isEmpty() && input.error() != QFile::NoError) {
            std::fprintf(stderr, "vazorez-decode: cannot read %s: %s\n", qPrintable(inputPath), qPrintable(input.errorString()));
            return 1;
        }
        fed += uint64_t(chunk.size());
        receiver.receive(chunk.constData(), chunk.size(), decoder, record, sink);
    }
    receiver.flush(decoder, record, sink);
    failed = failed || !writer.finish();
    if (failed) {
        std::fprintf(stderr, "vazorez-decode: cannot write to %s: %s\n", qPrintable(target), qPrintable(writer.errorString()));
        return 1;
    }
    if (out != stdout && std::fclose(out) != 0) {
        std::fprintf(stderr, "vazorez-decode: cannot write to %s: %s\n", qPrintable(target), std::strerror(errno));
        return 1;
    }
    const auto &stats = receiver.stats();
    std::fprintf(stderr, "vazorez-decode: %lld frames from %llu bytes, %llu rejected, %llu bytes dropped\n",
                 static_cast<long long>(written), static_cast<unsigned long long>(stats.bytesReceived),
                 static_cast<unsigned long long>(stats.framesRejected),
                 static_cast<unsigned long long>(stats.bytesDropped));
    return 0;
}

// SPDX-License-Identifier: MIT
// vazorez-decode FILE: decodes a raw capture or any dump of the line's bytes, offline, by the same
// rules as the live viewer.
#include "capturereader.h"
#include "framewriter.h"
#include "outputfile.h"
#include "toolcli.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("vazorez-decode");
    qInstallMessageHandler(printAllButDebug);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Decodes FILE (a raw capture or a dump of the serial line; - for standard input; or an h5\n"
        "recording) into csv, jsonl, raw or h5, exactly as the live viewer would. For the line's\n"
        "bytes time_s is reconstructed: the time at which the frame's last byte would have arrived\n"
        "on the 115200-baud line, counted from the file's first byte. An h5 recording keeps the\n"
        "times it was recorded with.\n"
        "Exit status: 0 done, 1 FILE cannot be read, holds no frame, or the output cannot be\n"
        "written (then no output file is left behind), 2 bad options.");
    parser.addHelpOption();
    parser.addPositionalArgument("FILE", "Bytes as they came off the line.");
    FrameWriter::addOutputOptions(parser);
    parser.addOption({"note", "Keep TEXT with an h5 output (its note attribute).", "TEXT"});
    if (const auto exitCode = parseArguments(parser))
        return *exitCode;
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("give exactly one FILE"));
    FrameWriter::Format format;
    QString error;
    if (!FrameWriter::formatFromOptions(parser, &format, &error))
        return usageError(error);

    CaptureReader reader(parser.positionalArguments().first());
    if (!reader.open())
        return toolError(reader.errorString());
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN); // a closed pipe is a write error we report, not a silent death
#endif
    OutputFile out;
    if (!out.open(parser.value("output")))
        return toolError(QStringLiteral("cannot create %1: %2").arg(out.description(), out.errorString()));

    FrameWriter writer(out, format);
    RecordingContext session;
    session.source = reader.name();
    session.note = parser.value("note");
    writer.setContext(session);
    bool written = writer.writeHeader();
    RecordedFrame frame;
    while (written && reader.next(frame))
        written = writer.write(frame.index, frame.seconds, frame.record, frame.bytes.constData(), frame.bytes.size());
    if (reader.failed()) {
        out.discard();
        return toolError(reader.errorString());
    }
    if (!written || !out.commit()) {
        out.discard();
        return toolError(QStringLiteral("cannot write to %1: %2")
                             .arg(out.description(), written ? out.errorString() : writer.errorString()));
    }
    std::fprintf(stderr, "vazorez-decode: %lld frames from %llu bytes, %llu rejected, %llu bytes of junk\n",
                 static_cast<long long>(reader.frames()), static_cast<unsigned long long>(reader.bytesRead()),
                 static_cast<unsigned long long>(reader.rejectedFrames()),
                 static_cast<unsigned long long>(reader.junkBytes()));
    return 0;
}

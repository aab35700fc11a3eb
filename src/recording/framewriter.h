// SPDX-License-Identifier: MIT
// Writes decoded frames as tidy CSV, JSON lines, the raw wire bytes or an HDF5 recording.
#pragma once

#include "frame.h"
#include "framedecoder.h"
#include "hdf5writer.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>

class OutputFile;
class QCommandLineParser;

class FrameWriter {
public:
    enum class Format { Csv, Jsonl, Raw, Hdf5 };

    // The -o/--output FILE and --format csv|jsonl|raw options of the tools that write frames.
    static void addOutputOptions(QCommandLineParser &parser);
    // The format they ask for: --format, else the output's extension (.jsonl/.ndjson/.json,
    // .raw/.bin), else csv. False with *error set for an unknown --format.
    static bool formatFromOptions(const QCommandLineParser &parser, Format *format, QString *error);

    // Writes to `out`, which stays the caller's. Nothing is written before the first frame but the
    // CSV header.
    FrameWriter(OutputFile &out, Format format);
    ~FrameWriter();
    // The session an HDF5 recording describes; call before writeHeader().
    void setContext(const RecordingContext &session) { context = session; }
    // The format of a file name's extension, else csv.
    static Format formatForSuffix(const QString &path);

    // Opens `out` at `path` for `format`: an h5 file needs a regular file, and is refused at once
    // for standard output, a device or a pipe, before anything waits on them.
    static bool openOutput(OutputFile &out, const QString &path, Format format);

    bool writeHeader();
    // One accepted frame: its record and its own bytes (from which the spectrum is read in frame
    // order). Each frame goes out whole, so the output never ends inside a line.
    bool write(
        int64_t index, double seconds, const frame_t &record, const char *frameBytes, int length);

    // An HDF5 file says, once closed after an error, how many frames it kept.
    QString errorString() const
    {
        return hdf5 && !hdf5->errorString().isEmpty() ? hdf5->errorString() : error;
    }
    // Frames an h5 file holds for sure (appended and flushed); -1 for the other formats, whose
    // output file counts its units itself.
    int64_t framesFlushed() const;
    // An h5 file's waiting frames go to it once they have waited a second (the other formats'
    // output file is flushed by its owner). False after a write error.
    bool flushDue();
    // How long until an h5 file's waiting frames are due (0: now); negative when none waits or the
    // format keeps no second of its own.
    std::chrono::steady_clock::duration untilFlushDue() const;

private:
    bool put(const QByteArray &bytes);
    bool createHdf5();

    OutputFile &out;
    Format format;
    FrameDecoder decoder;
    frame_t scratch;
    FrameDecoder::Details details;
    QByteArray text;
    QString error;
    RecordingContext context;
    std::unique_ptr<Hdf5Writer> hdf5;
};

// SPDX-License-Identifier: MIT
// Reads a recording frame by frame, in chunks: a raw capture or any dump of the line (decoded by
// the viewer's own receive rules), or the csv, jsonl and h5 that vazorez-capture and vazorez-decode
// write.
#pragma once

#include "frame.h"

#include <QFile>
#include <QString>

#include <cstdint>
#include <functional>

class RecordingReader {
public:
    enum class Format { Raw, Csv, Jsonl, Hdf5 };

    // `seconds`: the frame's time_s; for the line's bytes, when its last byte arrives on the line.
    using FrameSink = std::function<void(const frame_t &record, double seconds)>;

    // Opens `path` and tells its format from its first bytes.
    bool open(const QString &path, QString *error);
    Format format() const { return kind; }
    static const char *formatName(Format format);

    // Reads every frame; false with a one-line `error` when the file cannot be read or a csv or
    // jsonl line is not one vazorez-capture writes.
    bool read(const FrameSink &sink, QString *error);

    int64_t frames() const { return frameCount; }
    uint64_t bytes() const { return byteCount; }
    // Raw input only: the receive rules' figures.
    uint64_t framesRejected() const { return rejected; }
    uint64_t bytesDropped() const { return dropped; }

private:
    bool readRaw(const FrameSink &sink, QString *error);
    bool readText(const FrameSink &sink, QString *error);
    bool readHdf5(const FrameSink &sink, QString *error);

    QFile file;
    QString path;
    Format kind = Format::Raw;
    int64_t frameCount = 0;
    uint64_t byteCount = 0;
    uint64_t rejected = 0;
    uint64_t dropped = 0;
};

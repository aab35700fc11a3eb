// SPDX-License-Identifier: MIT
// Reads back the csv and jsonl recordings that vazorez-capture and vazorez-decode write, one frame
// at a time: a csv frame is a row per sample (frame,time_s,mode,k,i,q,s), a jsonl frame one object
// per line. The values come back as the board sent them (spectrum in frame order), so that a frame
// can be put back into its wire bytes.
#pragma once

#include "frameencoder.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

class QIODevice;

class TextRecordingReader {
public:
    enum class Format { Csv, Jsonl };

    // The format of a recording whose first bytes are `start` (64 of them will do); false for
    // anything else, such as the line's bytes.
    static bool recognise(const QByteArray &start, Format *format);

    // Reads `device`, which stays the caller's, from its current position (a csv from its header);
    // `name` is the file the error messages name.
    TextRecordingReader(QIODevice &device, Format format, const QString &name);

    // The next frame: its number in the file, its time_s and its values (byte 3, which neither
    // format keeps, comes back as 0). False at the end, and on a line that is not one the tools
    // write: then failed() and errorString() says which line.
    bool next(int64_t *frame, double *seconds, FrameValues *values);

    bool failed() const { return !error.isEmpty(); }
    QString errorString() const { return error; }
    // The bytes of the file read so far.
    uint64_t bytes() const { return byteCount; }

private:
    bool nextCsv(int64_t *frame, double *seconds, FrameValues *values);
    bool nextJsonl(int64_t *frame, double *seconds, FrameValues *values);
    // The next line that is not blank, trimmed; false at the end.
    bool nextLine(QByteArray *line);

    QIODevice &device;
    Format format;
    QString name;
    QString error;
    QByteArray pending; // a csv row read ahead: the first of the next frame
    int64_t lineNumber = 0;
    int64_t frameCount = 0;
    uint64_t byteCount = 0;
};

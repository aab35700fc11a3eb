// SPDX-License-Identifier: MIT
// Reads a recording back frame by frame: a raw capture, or any dump of the line's bytes, split by
// the receive rules the viewer uses, so that the same bytes always give the same frames; or an
// HDF5, csv or jsonl recording, whose frames are put back into their wire bytes. Reads in chunks;
// memory does not grow with the file.
#pragma once

#include "frame.h"
#include "framedecoder.h"
#include "framereceiver.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>
#include <deque>
#include <memory>

class Hdf5Reader;
struct FrameValues;
class TextRecordingReader;

struct RecordedFrame {
    int64_t index = 0; // frames before it in the recording
    frame_t record; // as the viewer would show it
    QByteArray bytes; // the frame's own bytes, as they came off the line
    uint64_t offset = 0; // position of its first byte in the recording
    // When its last byte would have arrived at the line's rate; an HDF5 recording's own time.
    double seconds = 0;
};

class CaptureReader {
public:
    // The size of one read: about what a serial read returns. The rules give the same frames
    // whatever the chunking.
    static constexpr int kChunkSize = 4096;

    // "-" reads standard input.
    explicit CaptureReader(const QString &path);
    ~CaptureReader();

    // False with errorString() "cannot read FILE: reason".
    bool open();
    // The next frame, in recording order. False at the end and on a read error; then failed()
    // tells the two apart. A recording that yields no frame at all has failed too.
    bool next(RecordedFrame &frame);

    // An HDF5 recording (times measured), not the line's bytes (times reconstructed).
    bool isHdf5() const { return hdf5 != nullptr; }
    // A csv or jsonl recording (times as written).
    bool isText() const { return text != nullptr; }
    bool failed() const { return !error.isEmpty(); }
    // "cannot read FILE: reason" or "FILE holds no frame".
    QString errorString() const { return error; }
    QString name() const { return displayName; }

    int64_t frames() const { return delivered; }
    // For a recording of frames (h5, csv, jsonl): the bytes its frames take on the line.
    uint64_t bytesRead() const
    {
        return hdf5 || text ? encodedOffset : receiver.stats().bytesReceived;
    }
    // Bytes that belong to no frame: junk, corrupt frames and a cut-off tail.
    uint64_t junkBytes() const;
    uint64_t rejectedFrames() const { return receiver.stats().framesRejected; }

private:
    bool readChunk();
    bool nextFromHdf5(RecordedFrame &frame);
    bool nextFromText(RecordedFrame &frame);
    // The frame for `values`, as the line would carry it; false for a mode the decoder refuses.
    bool encode(const FrameValues &values, int64_t number, RecordedFrame &frame);

    QFile file;
    QString path;
    QString displayName;
    FrameReceiver receiver;
    FrameDecoder decoder;
    frame_t scratch;
    std::deque<RecordedFrame> ready;
    QByteArray chunk;
    int64_t decoded = 0;
    int64_t delivered = 0;
    bool atEnd = false;
    QString error;
    std::unique_ptr<Hdf5Reader> hdf5;
    std::unique_ptr<TextRecordingReader> text;
    uint64_t encodedOffset = 0;
};

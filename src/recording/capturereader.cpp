// SPDX-License-Identifier: MIT
#include "capturereader.h"

#include "frameencoder.h"
#include "hdf5reader.h"
#include "hdf5recording.h"
#include "linesettings.h"
#include "textrecordingreader.h"

#include <QFileInfo>

CaptureReader::CaptureReader(const QString &path)
    : path(path)
    , displayName(path == "-" ? QStringLiteral("standard input") : path)
{
}

CaptureReader::~CaptureReader() = default;

bool CaptureReader::open()
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (path != "-" && (suffix == "h5" || suffix == "hdf5" || Hdf5Recording::hasSignature(path))) {
        hdf5 = std::make_unique<Hdf5Reader>();
        return hdf5->open(path, &error);
    }
    const bool opened = path == "-" ? file.open(stdin, QIODevice::ReadOnly)
                                    : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        error = QStringLiteral("cannot read %1: %2").arg(displayName, file.errorString());
        return false;
    }
    TextRecordingReader::Format format;
    if (TextRecordingReader::recognise(file.peek(64), &format))
        text = std::make_unique<TextRecordingReader>(file, format, displayName);
    return true;
}

uint64_t CaptureReader::junkBytes() const
{
    // At the end, what is still buffered is a frame that never finished.
    return receiver.stats().bytesDropped + (atEnd ? uint64_t(receiver.buffer().size()) : 0);
}

bool CaptureReader::next(RecordedFrame &frame)
{
    if (!hdf5 && !file.isOpen() && (!error.isEmpty() || !open()))
        return false;
    if (hdf5)
        return nextFromHdf5(frame);
    if (text)
        return nextFromText(frame);
    while (ready.empty() && !atEnd && error.isEmpty())
        readChunk();
    if (ready.empty()) {
        if (error.isEmpty() && atEnd && delivered == 0)
            error = QStringLiteral("%1 holds no frame").arg(displayName);
        return false;
    }
    frame = std::move(ready.front());
    ready.pop_front();
    ++delivered;
    return true;
}

bool CaptureReader::readChunk()
{
    const auto keep = [this](const frame_t &record, const char *bytes, int length) {
        RecordedFrame frame;
        frame.index = decoded++;
        frame.record = record;
        frame.bytes = QByteArray(bytes, length);
        frame.offset = receiver.streamOffset(bytes);
        frame.seconds = LineSettings::secondsFor(double(frame.offset + uint64_t(length)));
        ready.push_back(std::move(frame));
    };
    if (!file.isOpen() && !open())
        return false;
    chunk.resize(kChunkSize);
    const qint64 got = file.read(chunk.data(), kChunkSize);
    if (got < 0) {
        error = QStringLiteral("cannot read %1: %2").arg(displayName, file.errorString());
        return false;
    }
    if (got == 0) {
        // The reads block until data comes, so nothing means the end: decode below the threshold.
        receiver.flush(decoder, scratch, keep);
        atEnd = true;
        return true;
    }
    receiver.receive(chunk.constData(), int(got), decoder, scratch, keep);
    return true;
}

bool CaptureReader::encode(const FrameValues &values, int64_t number, RecordedFrame &frame)
{
    frame.bytes = encodeFrame(values);
    frame.record = frame_t();
    if (decoder.decodeFrame(frame.bytes.constData(), frame.bytes.size(), frame.record)
        != FrameDecoder::Decoded) {
        error = QStringLiteral("%1 is a damaged VazoRez recording: frame %2 has mode %3, neither "
                               "CW (0) nor FMCW (1)")
                    .arg(displayName)
                    .arg(number)
                    .arg(values.mode);
        return false;
    }
    frame.offset = encodedOffset;
    encodedOffset += uint64_t(frame.bytes.size());
    return true;
}

bool CaptureReader::nextFromHdf5(RecordedFrame &frame)
{
    if (!error.isEmpty() || delivered >= hdf5->frames())
        return false;
    FrameValues values;
    if (!hdf5->readFrame(delivered, &values, &frame.seconds, &error)
        || !encode(values, delivered, frame))
        return false;
    frame.index = delivered++;
    return true;
}

bool CaptureReader::nextFromText(RecordedFrame &frame)
{
    FrameValues values;
    int64_t number = 0;
    if (!error.isEmpty() || !text->next(&number, &frame.seconds, &values)) {
        if (text->failed())
            error = text->errorString();
        else if (error.isEmpty() && delivered == 0)
            error = QStringLiteral("%1 holds no frame").arg(displayName);
        return false;
    }
    if (!encode(values, number, frame))
        return false;
    // The number the file gives it, so that a conversion keeps it.
    frame.index = number;
    ++delivered;
    return true;
}

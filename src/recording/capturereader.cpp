// SPDX-License-Identifier: MIT
#include "capturereader.h"

#include "frameencoder.h"
#include "hdf5recording.h"
#include "linesettings.h"

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
    if (!opened)
        error = QStringLiteral("cannot read %1: %2").arg(displayName, file.errorString());
    return opened;
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

bool CaptureReader::nextFromHdf5(RecordedFrame &frame)
{
    if (!error.isEmpty() || delivered >= hdf5->frames())
        return false;
    FrameValues values;
    if (!hdf5->readFrame(delivered, &values, &frame.seconds, &error))
        return false;
    frame.bytes = encodeFrame(values);
    frame.record = frame_t();
    if (decoder.decodeFrame(frame.bytes.constData(), frame.bytes.size(), frame.record)
        != FrameDecoder::Decoded) {
        error = QStringLiteral("%1 is a damaged VazoRez recording: frame %2 has mode %3, neither "
                               "CW (0) nor FMCW (1)")
                    .arg(displayName)
                    .arg(delivered)
                    .arg(values.mode);
        return false;
    }
    frame.index = delivered++;
    frame.offset = hdf5Offset;
    hdf5Offset += uint64_t(frame.bytes.size());
    return true;
}

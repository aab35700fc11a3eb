// SPDX-License-Identifier: MIT
#include "recordingreader.h"

#include "framedecoder.h"
#include "framereceiver.h"
#include "hdf5reader.h"
#include "hdf5recording.h"
#include "linesettings.h"
#include "textrecordingreader.h"

#include <QFileInfo>

#include <cstdlib>

namespace {

constexpr qint64 kChunkBytes = 1 << 16;

// The record the decoder would fill for these values (the chart's points are what the history
// reads): one plotting rule, whatever the recording's format.
void fillRecord(frame_t &record, int mode, const std::vector<int16_t> &i,
    const std::vector<int16_t> &q, const std::vector<int32_t> &s)
{
    resetFrame(record);
    const int n = int(s.size());
    record.modulation = mode;
    record.sample_count = n;
    record.i_samples = i;
    record.q_samples = q;
    if (n == 0)
        return;
    const int m = mode == 0 ? n : n / 2;
    record.fft_series.append(QPointF(0.0, double(s[0])));
    for (int j = 0; j < m; ++j) {
        const QPointF point{double(j), double(s[size_t(n - 1 - j)])};
        record.fft_series.append(point);
        record.fft_bins.append(point);
    }
    for (int k = 0; k < n; ++k) {
        record.i_series.append(QPointF(k, i[size_t(k)]));
        record.q_series.append(QPointF(k, q[size_t(k)]));
    }
}

} // namespace

const char *RecordingReader::formatName(Format format)
{
    switch (format) {
    case Format::Csv:
        return "csv";
    case Format::Jsonl:
        return "jsonl";
    case Format::Hdf5:
        return "h5";
    case Format::Raw:
        break;
    }
    return "raw";
}

bool RecordingReader::open(const QString &filePath, QString *error)
{
    path = filePath;
    const QString suffix = QFileInfo(filePath).suffix().toLower();
    if (suffix == "h5" || suffix == "hdf5" || Hdf5Recording::hasSignature(filePath)) {
        kind = Format::Hdf5;
        return true;
    }
    file.setFileName(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(filePath, file.errorString());
        return false;
    }
    TextRecordingReader::Format text;
    kind = !TextRecordingReader::recognise(file.peek(64), &text) ? Format::Raw
        : text == TextRecordingReader::Format::Csv               ? Format::Csv
                                                                 : Format::Jsonl;
    return true;
}

bool RecordingReader::read(const FrameSink &sink, QString *error)
{
    switch (kind) {
    case Format::Csv:
    case Format::Jsonl:
        return readText(sink, error);
    case Format::Hdf5:
        return readHdf5(sink, error);
    case Format::Raw:
        break;
    }
    return readRaw(sink, error);
}

bool RecordingReader::readRaw(const FrameSink &sink, QString *error)
{
    FrameReceiver receiver;
    FrameDecoder decoder;
    frame_t record;
    const auto onFrame = [&](const frame_t &frame, const char *frameBytes, int length) {
        // When the frame's last byte arrives on the line, counted from the first byte.
        const uint64_t end = receiver.streamOffset(frameBytes) + uint64_t(length);
        ++frameCount;
        sink(frame, LineSettings::secondsFor(double(end)));
    };
    QByteArray chunk(int(kChunkBytes), Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(chunk.data(), kChunkBytes);
        if (got < 0) {
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        if (got == 0)
            break;
        receiver.receive(chunk.constData(), int(got), decoder, record, onFrame);
    }
    receiver.flush(decoder, record, onFrame);
    byteCount = receiver.stats().bytesReceived;
    rejected = receiver.stats().framesRejected;
    // What the flush leaves buffered is a frame that never finished: dropped too, as
    // vazorez-decode counts it.
    dropped = receiver.stats().bytesDropped + uint64_t(receiver.buffer().size());
    return true;
}

bool RecordingReader::readText(const FrameSink &sink, QString *error)
{
    TextRecordingReader text(file,
        kind == Format::Csv ? TextRecordingReader::Format::Csv : TextRecordingReader::Format::Jsonl,
        path);
    FrameValues values;
    frame_t record;
    int64_t number = 0;
    double seconds = 0;
    while (text.next(&number, &seconds, &values)) {
        fillRecord(record, values.mode, values.i, values.q, values.s);
        ++frameCount;
        byteCount = text.bytes();
        sink(record, seconds);
    }
    byteCount = text.bytes();
    if (text.failed())
        *error = text.errorString();
    return !text.failed();
}

bool RecordingReader::readHdf5(const FrameSink &sink, QString *error)
{
    Hdf5Reader recording;
    if (!recording.open(path, error))
        return false;
    FrameValues values;
    frame_t record;
    double seconds = 0;
    for (int64_t index = 0; index < recording.frames(); ++index) {
        if (!recording.readFrame(index, &values, &seconds, error))
            return false;
        if (values.mode > 1) {
            *error = QStringLiteral("%1 is a damaged VazoRez recording: frame %2 has mode %3, "
                                    "neither CW (0) nor FMCW (1)")
                         .arg(path)
                         .arg(index)
                         .arg(values.mode);
            return false;
        }
        fillRecord(record, values.mode, values.i, values.q, values.s);
        byteCount += uint64_t(FrameDecoder::frameLength(int(values.s.size())));
        ++frameCount;
        sink(record, seconds);
    }
    return true;
}

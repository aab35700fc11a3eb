// SPDX-License-Identifier: MIT
#include "recordingreader.h"

#include "framedecoder.h"
#include "framereceiver.h"
#include "hdf5recording.h"
#include "linesettings.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>

namespace {

constexpr qint64 kChunkBytes = 1 << 16;
const QByteArray kCsvHeader = "frame,time_s,mode,k,i,q,s";

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

int modeFromName(const QByteArray &name)
{
    return name == "CW" ? 0 : name == "FMCW" ? 1 : -1;
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
    const QByteArray start = file.peek(64);
    if (start.startsWith(kCsvHeader))
        kind = Format::Csv;
    else if (start.startsWith("{\"frame\""))
        kind = Format::Jsonl;
    else
        kind = Format::Raw;
    return true;
}

bool RecordingReader::read(const FrameSink &sink, QString *error)
{
    switch (kind) {
    case Format::Csv:
        return readCsv(sink, error);
    case Format::Jsonl:
        return readJsonl(sink, error);
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

bool RecordingReader::readCsv(const FrameSink &sink, QString *error)
{
    frame_t record;
    std::vector<int16_t> i, q;
    std::vector<int32_t> s;
    int64_t current = -1;
    double seconds = 0;
    int mode = 0;
    const auto emitFrame = [&] {
        if (current < 0)
            return;
        fillRecord(record, mode, i, q, s);
        ++frameCount;
        sink(record, seconds);
        i.clear();
        q.clear();
        s.clear();
    };
    int64_t lineNumber = 1;
    byteCount = uint64_t(file.readLine().size()); // the header
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        ++lineNumber;
        byteCount += uint64_t(line.size()) + 1;
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split(',');
        bool ok = fields.size() == 7;
        const int64_t frame = ok ? fields[0].toLongLong(&ok) : 0;
        const double time = ok ? fields[1].toDouble(&ok) : 0;
        const int lineMode = ok ? modeFromName(fields[2]) : -1;
        const int k = ok ? fields[3].toInt(&ok) : 0;
        const int iValue = ok ? fields[4].toInt(&ok) : 0;
        const int qValue = ok ? fields[5].toInt(&ok) : 0;
        const int32_t sValue = ok ? fields[6].toInt(&ok) : 0;
        if (frame != current) {
            emitFrame();
            current = frame;
            seconds = time;
            mode = lineMode;
        }
        if (!ok || lineMode < 0 || k != int(s.size()) || s.size() >= 255) {
            *error = QStringLiteral("%1, line %2: not a row of frame,time_s,mode,k,i,q,s")
                         .arg(path)
                         .arg(lineNumber);
            return false;
        }
        i.push_back(int16_t(iValue));
        q.push_back(int16_t(qValue));
        s.push_back(sValue);
    }
    emitFrame();
    return true;
}

bool RecordingReader::readJsonl(const FrameSink &sink, QString *error)
{
    frame_t record;
    std::vector<int16_t> i, q;
    std::vector<int32_t> s;
    int64_t lineNumber = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        ++lineNumber;
        byteCount += uint64_t(line.size());
        if (line.trimmed().isEmpty())
            continue;
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        const int mode = modeFromName(object.value("mode").toString().toLatin1());
        const QJsonArray iArray = object.value("i").toArray(), qArray = object.value("q").toArray(),
                         sArray = object.value("s").toArray();
        const int n = object.value("n").toInt(-1);
        if (mode < 0 || !object.value("time_s").isDouble() || n < 0 || n > 255 || iArray.size() != n
            || qArray.size() != n || sArray.size() != n) {
            *error = QStringLiteral(
                "%1, line %2: not a frame object with frame, time_s, mode, n, i, q, s")
                         .arg(path)
                         .arg(lineNumber);
            return false;
        }
        i.resize(size_t(n));
        q.resize(size_t(n));
        s.resize(size_t(n));
        for (int k = 0; k < n; ++k) {
            i[size_t(k)] = int16_t(iArray[k].toInt());
            q[size_t(k)] = int16_t(qArray[k].toInt());
            s[size_t(k)] = int32_t(sArray[k].toDouble());
        }
        fillRecord(record, mode, i, q, s);
        ++frameCount;
        sink(record, object.value("time_s").toDouble());
    }
    return true;
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

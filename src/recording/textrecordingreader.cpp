// SPDX-License-Identifier: MIT
#include "textrecordingreader.h"

#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QByteArray kCsvHeader = "frame,time_s,mode,k,i,q,s";

int modeFromName(const QByteArray &name)
{
    return name == "CW" ? 0 : name == "FMCW" ? 1 : -1;
}

void clearValues(FrameValues *values)
{
    values->mode = 0;
    values->byte3 = 0;
    values->i.clear();
    values->q.clear();
    values->s.clear();
}

} // namespace

bool TextRecordingReader::recognise(const QByteArray &start, Format *format)
{
    if (start.startsWith(kCsvHeader))
        *format = Format::Csv;
    else if (start.startsWith("{\"frame\""))
        *format = Format::Jsonl;
    else
        return false;
    return true;
}

TextRecordingReader::TextRecordingReader(QIODevice &device, Format format, const QString &name)
    : device(device)
    , format(format)
    , name(name)
{
}

bool TextRecordingReader::next(int64_t *frame, double *seconds, FrameValues *values)
{
    if (failed())
        return false;
    clearValues(values);
    return format == Format::Csv ? nextCsv(frame, seconds, values)
                                 : nextJsonl(frame, seconds, values);
}

bool TextRecordingReader::nextLine(QByteArray *line)
{
    for (;;) {
        // Not atEnd(): on a pipe it may say so before the writer is done.
        *line = device.readLine();
        if (line->isEmpty())
            return false;
        ++lineNumber;
        byteCount += uint64_t(line->size());
        *line = line->trimmed();
        if (!line->isEmpty())
            return true;
    }
}

bool TextRecordingReader::nextCsv(int64_t *frame, double *seconds, FrameValues *values)
{
    if (lineNumber == 0) {
        QByteArray header;
        nextLine(&header);
    }
    bool started = false;
    for (;;) {
        if (pending.isEmpty() && !nextLine(&pending))
            return started;
        const QList<QByteArray> fields = pending.split(',');
        bool ok = fields.size() == 7;
        const int64_t number = ok ? fields[0].toLongLong(&ok) : 0;
        const double time = ok ? fields[1].toDouble(&ok) : 0;
        const int mode = ok ? modeFromName(fields[2]) : -1;
        const int k = ok ? fields[3].toInt(&ok) : 0;
        const int iValue = ok ? fields[4].toInt(&ok) : 0;
        const int qValue = ok ? fields[5].toInt(&ok) : 0;
        const int32_t sValue = ok ? fields[6].toInt(&ok) : 0;
        if (ok && mode >= 0 && started && number != *frame)
            return true; // the row stays pending: it starts the next frame
        if (!started) {
            *frame = number;
            *seconds = time;
            values->mode = uint8_t(mode);
            started = true;
        }
        if (!ok || mode < 0 || k != int(values->s.size()) || values->s.size() >= 255) {
            error = QStringLiteral("%1, line %2: not a row of frame,time_s,mode,k,i,q,s")
                        .arg(name)
                        .arg(lineNumber);
            return false;
        }
        values->i.push_back(int16_t(iValue));
        values->q.push_back(int16_t(qValue));
        values->s.push_back(sValue);
        pending.clear();
    }
}

bool TextRecordingReader::nextJsonl(int64_t *frame, double *seconds, FrameValues *values)
{
    QByteArray line;
    if (!nextLine(&line))
        return false;
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    const int mode = modeFromName(object.value("mode").toString().toLatin1());
    const QJsonArray iArray = object.value("i").toArray(), qArray = object.value("q").toArray(),
                     sArray = object.value("s").toArray();
    const int n = object.value("n").toInt(-1);
    if (mode < 0 || !object.value("time_s").isDouble() || n < 0 || n > 255 || iArray.size() != n
        || qArray.size() != n || sArray.size() != n) {
        error
            = QStringLiteral("%1, line %2: not a frame object with frame, time_s, mode, n, i, q, s")
                  .arg(name)
                  .arg(lineNumber);
        return false;
    }
    *frame = int64_t(object.value("frame").toDouble(double(frameCount)));
    *seconds = object.value("time_s").toDouble();
    values->mode = uint8_t(mode);
    values->i.resize(size_t(n));
    values->q.resize(size_t(n));
    values->s.resize(size_t(n));
    for (int k = 0; k < n; ++k) {
        values->i[size_t(k)] = int16_t(iArray[k].toInt());
        values->q[size_t(k)] = int16_t(qArray[k].toInt());
        values->s[size_t(k)] = int32_t(sArray[k].toDouble());
    }
    ++frameCount;
    return true;
}

// SPDX-License-Identifier: MIT
#include "framewriter.h"

#include "outputfile.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace {

void appendNumbers(QByteArray &text, const std::vector<int16_t> &values)
{
    for (size_t k = 0; k < values.size(); ++k) {
        if (k)
            text += ',';
        text += QByteArray::number(values[k]);
    }
}

} // namespace

void FrameWriter::addOutputOptions(QCommandLineParser &parser)
{
    parser.addOptions({
        {{"o", "output"},
            "Write to FILE (default: standard output). It is written as FILE.part-XXXXXX beside it "
            "and\n"
            "takes the name FILE only when the run ends, so a run that fails leaves an existing "
            "FILE\n"
            "as it was. Devices and pipes are written directly, opened once; a FIFO needs its\n"
            "reader first.",
            "FILE"},
        {"format",
            "csv, jsonl, raw or h5 (default: from the output file's extension, else csv).\n"
            "h5 is an HDF5 file with the session's attributes; it needs a regular file.",
            "FORMAT"},
    });
}

bool FrameWriter::formatFromOptions(
    const QCommandLineParser &parser, Format *format, QString *error)
{
    if (!parser.isSet("format")) {
        *format = formatForSuffix(parser.value("output"));
        return true;
    }
    const QString name = parser.value("format");
    if (name == "csv")
        *format = Format::Csv;
    else if (name == "jsonl")
        *format = Format::Jsonl;
    else if (name == "raw")
        *format = Format::Raw;
    else if (name == "h5")
        *format = Format::Hdf5;
    else {
        *error = QStringLiteral("--format wants csv, jsonl, raw or h5, not '%1'").arg(name);
        return false;
    }
    return true;
}

FrameWriter::Format FrameWriter::formatForSuffix(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == "jsonl" || suffix == "ndjson" || suffix == "json")
        return Format::Jsonl;
    if (suffix == "raw" || suffix == "bin")
        return Format::Raw;
    if (suffix == "h5" || suffix == "hdf5")
        return Format::Hdf5;
    return Format::Csv;
}

FrameWriter::~FrameWriter()
{
    if (hdf5)
        out.setFinisher(nullptr);
}

FrameWriter::FrameWriter(OutputFile &out, Format format)
    : out(out)
    , format(format)
{
    details.wantSpectrum = true;
}

bool FrameWriter::put(const QByteArray &bytes)
{
    if (!error.isEmpty())
        return false;
    if (!out.write(bytes)) {
        error = out.errorString();
        return false;
    }
    return true;
}

bool FrameWriter::openOutput(OutputFile &out, const QString &path, Format format)
{
    return out.open(path,
        format == Format::Hdf5 ? OutputFile::Accept::SeekableFile : OutputFile::Accept::AnyFile);
}

bool FrameWriter::writeHeader()
{
    if (format == Format::Hdf5)
        return createHdf5();
    return format != Format::Csv || put("frame,time_s,mode,k,i,q,s\n");
}

bool FrameWriter::createHdf5()
{
    if (!out.isOpen() || !QFileInfo(out.writingPath()).isFile()) {
        error = QStringLiteral("an h5 recording needs a regular file (HDF5 seeks)");
        return false;
    }
    hdf5 = std::make_unique<Hdf5Writer>();
    // The file is closed as the output is committed, so that it is whole before it takes its name.
    Hdf5Writer *writer = hdf5.get();
    out.setFinisher([writer](QString *reason) {
        if (writer->close())
            return true;
        *reason = writer->errorString();
        return false;
    });
    if (!hdf5->create(out.writingPath(), context)) {
        error = hdf5->errorString();
        return false;
    }
    return true;
}

bool FrameWriter::write(
    int64_t index, double seconds, const frame_t &record, const char *frameBytes, int length)
{
    if (format == Format::Raw)
        return put(QByteArray::fromRawData(frameBytes, length));
    if (format == Format::Hdf5) {
        if (!error.isEmpty())
            return false;
        if (!hdf5->append(seconds, frameBytes, length))
            error = hdf5->errorString();
        return error.isEmpty();
    }

    // The record keeps the spectrum reversed and, in FMCW mode, only half of it: the decoder
    // reads it again from the frame's own bytes, in frame order.
    scratch = frame_t();
    if (decoder.decodeFrame(frameBytes, length, scratch, details) != FrameDecoder::Decoded) {
        error = QStringLiteral("internal error: an accepted frame failed to decode again");
        return false;
    }
    const QByteArray mode = record.modulation ? "FMCW" : "CW";
    const QByteArray time = QByteArray::number(seconds, 'f', 6);
    const int n = record.sample_count;
    text.clear();
    if (format == Format::Csv) {
        const QByteArray prefix
            = QByteArray::number(qlonglong(index)) + ',' + time + ',' + mode + ',';
        for (int k = 0; k < n; ++k) {
            text += prefix;
            text += QByteArray::number(k) + ',' + QByteArray::number(record.i_samples[size_t(k)])
                + ',' + QByteArray::number(record.q_samples[size_t(k)]) + ','
                + QByteArray::number(details.spectrum[size_t(k)]) + '\n';
        }
    } else {
        text += "{\"frame\":" + QByteArray::number(qlonglong(index)) + ",\"time_s\":" + time
            + ",\"mode\":\"" + mode + "\",\"n\":" + QByteArray::number(n) + ",\"i\":[";
        appendNumbers(text, record.i_samples);
        text += "],\"q\":[";
        appendNumbers(text, record.q_samples);
        text += "],\"s\":[";
        for (int k = 0; k < n; ++k) {
            if (k)
                text += ',';
            text += QByteArray::number(details.spectrum[size_t(k)]);
        }
        text += "]}\n";
    }
    return put(text);
}

int64_t FrameWriter::framesFlushed() const
{
    return hdf5 ? hdf5->framesFlushed() : -1;
}

std::chrono::steady_clock::duration FrameWriter::untilFlushDue() const
{
    return hdf5 ? hdf5->untilFlushDue() : std::chrono::steady_clock::duration(-1);
}

bool FrameWriter::flushDue()
{
    if (!hdf5 || hdf5->flushIfDue())
        return true;
    error = hdf5->errorString();
    return false;
}

// SPDX-License-Identifier: MIT
#include "hdf5reader.h"

#include "hdf5common.h"
#include "hdf5recording.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

using namespace Hdf5Layout;

Hdf5Reader::~Hdf5Reader()
{
    check.end(false);
    closeAll(datasets);
    if (file >= 0)
        H5Fclose(file);
}

int64_t Hdf5Reader::framesChecked(int waitMs)
{
    check.takeReports(waitMs);
    return check.over() && !check.failed() ? count : check.framesChecked();
}

bool Hdf5Reader::checkedUpTo(bool wholeFrames, int64_t end, QString *error)
{
    while ((wholeFrames ? check.framesChecked() : check.timesChecked()) < end && !check.over())
        check.takeReports(1000);
    if ((wholeFrames ? check.framesChecked() : check.timesChecked()) >= end || !check.failed())
        return true;
    *error = checkError();
    return false;
}

QString Hdf5Reader::checkError() const
{
    if (!check.failed())
        return QString();
    return QStringLiteral("%1 is a damaged HDF5 file: the HDF5 library fails while reading it "
                          "from frame %2 on")
        .arg(path)
        .arg(check.framesChecked());
}

bool Hdf5Reader::open(const QString &name, QString *error)
{
    path = name;
    // HDF5 reads out of order: a FIFO or a device cannot be one, and opening a FIFO whose writer
    // has gone would wait for ever.
    const QFileInfo info(name);
    if (info.exists() && !info.isFile()) {
        *error = QStringLiteral("cannot read %1: not a regular file (an h5 recording is read out of "
                                "order)")
                     .arg(name);
        return false;
    }
    if (Hdf5Recording::hasSignature(name)) {
        if (!check.start(name, error))
            return false;
        if (!check.waitForStructure()) {
            *error = QStringLiteral("%1 is a damaged HDF5 file: the HDF5 library fails while "
                                    "reading it")
                         .arg(name);
            return false;
        }
        if (!check.refusal().isEmpty()) {
            *error = check.refusal();
            return false;
        }
    }
    return openInThisProcess(name, error);
}

bool Hdf5Reader::openInThisProcess(const QString &name, QString *error)
{
    silenceLibrary();
    path = name;
    if (!QFile::exists(path)) {
        *error = QStringLiteral("cannot read %1: no such file").arg(path);
        return false;
    }
    if (!Hdf5Recording::hasSignature(path)) {
        *error = QStringLiteral("%1 is not an HDF5 file").arg(path);
        return false;
    }
    file = H5Fopen(QFile::encodeName(path).constData(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0) {
        const QString reason = hdf5Reason();
        // The library locks a file while a program writes it (a recording under way, its
        // FILE.part-XXXXXX): that file is sound, only not finished.
        if (reason == QString::fromLocal8Bit(std::strerror(EWOULDBLOCK)))
            *error = QStringLiteral("%1 is being written by another program (HDF5 locks a file "
                                    "while it is written); open it once that recording has ended")
                         .arg(path);
        else
            *error = QStringLiteral("%1 is a truncated or damaged HDF5 file (%2)").arg(path, reason);
        return false;
    }
    QString format;
    int version = 0;
    if (!readStringAttribute(file, "format", &format) || format != QLatin1String(kFormatName)) {
        *error = QStringLiteral("%1 is an HDF5 file but not a VazoRez recording (no format "
                                "attribute \"%2\")")
                     .arg(path, QLatin1String(kFormatName));
        return false;
    }
    if (!readIntAttribute(file, "format_version", &version)) {
        *error = QStringLiteral("%1 is a VazoRez recording without a format_version").arg(path);
        return false;
    }
    if (version != Hdf5Recording::kFormatVersion) {
        *error = QStringLiteral("%1 is a VazoRez recording of format version %2; this program "
                                "reads version %3")
                     .arg(path)
                     .arg(version)
                     .arg(Hdf5Recording::kFormatVersion);
        return false;
    }
    for (int d = 0; d < DatasetCount; ++d) {
        if (H5Lexists(file, kNames[d], H5P_DEFAULT) <= 0
            || (datasets[d] = H5Dopen2(file, kNames[d], H5P_DEFAULT)) < 0) {
            *error
                = QStringLiteral("%1 is an incomplete VazoRez recording: the dataset %2 is missing")
                      .arg(path, kNames[d]);
            H5Eclear2(H5E_DEFAULT);
            return false;
        }
        const hid_t type = H5Dget_type(datasets[d]);
        const hid_t space = H5Dget_space(datasets[d]);
        hsize_t dims[2] = {0, 0};
        const int rank = H5Sget_simple_extent_ndims(space);
        if (rank >= 1 && rank <= 2)
            H5Sget_simple_extent_dims(space, dims, nullptr);
        const bool typeFits = H5Tget_class(type) == H5Tget_class(fileType(d))
            && H5Tget_size(type) == H5Tget_size(fileType(d))
            && (H5Tget_class(type) != H5T_INTEGER || H5Tget_sign(type) == H5Tget_sign(fileType(d)));
        const bool shapeFits = rank == (isMatrix(d) ? 2 : 1)
            && (!isMatrix(d) || dims[1] == hsize_t(Hdf5Recording::kMaxSamples));
        H5Sclose(space);
        H5Tclose(type);
        if (!typeFits || !shapeFits) {
            *error = QStringLiteral("%1 is not a readable VazoRez recording: the dataset %2 is not "
                                    "%3")
                         .arg(path, kNames[d],
                             isMatrix(d) ? QStringLiteral("frames x 255 of its type")
                                         : QStringLiteral("one value of its type per frame"));
            return false;
        }
        if (d == Time) {
            count = int64_t(dims[0]);
        } else if (int64_t(dims[0]) != count) {
            *error = QStringLiteral("%1 is a damaged VazoRez recording: time_s holds %2 frames, "
                                    "%3 holds %4")
                         .arg(path)
                         .arg(count)
                         .arg(kNames[d])
                         .arg(qlonglong(dims[0]));
            return false;
        }
    }
    if (count == 0) {
        *error = QStringLiteral("%1 holds no frame").arg(path);
        return false;
    }
    return true;
}

QString Hdf5Reader::attribute(const char *name) const
{
    QString value;
    if (file >= 0)
        readStringAttribute(file, name, &value);
    H5Eclear2(H5E_DEFAULT);
    return value;
}

bool Hdf5Reader::readTimesAndCounts(int64_t first, int64_t rows, std::vector<double> *times,
    std::vector<uint8_t> *counts, QString *error)
{
    silenceLibrary(); // this thread may not be the one that opened the file
    rows = std::clamp<int64_t>(std::min(rows, count - first), 0, count);
    if (!checkedUpTo(false, first + rows, error))
        return false;
    times->resize(size_t(rows));
    counts->resize(size_t(rows));
    if (rows == 0)
        return true;
    const hsize_t start[1] = {hsize_t(first)};
    const hsize_t size[1] = {hsize_t(rows)};
    bool ok = true;
    for (const auto &[dataset, type, data] :
        {std::tuple{datasets[Time], H5T_NATIVE_DOUBLE, static_cast<void *>(times->data())},
            std::tuple{datasets[Count], H5T_NATIVE_UINT8, static_cast<void *>(counts->data())}}) {
        const hid_t fileSpace = H5Dget_space(dataset);
        H5Sselect_hyperslab(fileSpace, H5S_SELECT_SET, start, nullptr, size, nullptr);
        const hid_t memorySpace = H5Screate_simple(1, size, nullptr);
        ok = ok && H5Dread(dataset, type, memorySpace, fileSpace, H5P_DEFAULT, data) >= 0;
        H5Sclose(memorySpace);
        H5Sclose(fileSpace);
    }
    if (!ok)
        *error = QStringLiteral("%1 is a damaged VazoRez recording (%2)").arg(path, hdf5Reason());
    return ok;
}

bool Hdf5Reader::readBlock(int64_t first, QString *error)
{
    silenceLibrary(); // this thread may not be the one that opened the file
    blockFirst = -1;
    blockSize = std::min<int64_t>(int64_t(kBlockFrames), count - first);
    if (!checkedUpTo(true, first + blockSize, error))
        return false;
    const size_t rows = size_t(blockSize);
    blockTimes.resize(rows);
    blockModes.resize(rows);
    blockByte3.resize(rows);
    blockCounts.resize(rows);
    blockI.resize(rows * Hdf5Recording::kMaxSamples);
    blockQ.resize(rows * Hdf5Recording::kMaxSamples);
    blockS.resize(rows * Hdf5Recording::kMaxSamples);
    void *data[DatasetCount] = {blockTimes.data(), blockModes.data(), blockByte3.data(),
        blockCounts.data(), blockI.data(), blockQ.data(), blockS.data()};
    for (int d = 0; d < DatasetCount; ++d) {
        const int rank = isMatrix(d) ? 2 : 1;
        const hsize_t start[2] = {hsize_t(first), 0};
        const hsize_t size[2] = {hsize_t(rows), Hdf5Recording::kMaxSamples};
        const hid_t fileSpace = H5Dget_space(datasets[d]);
        H5Sselect_hyperslab(fileSpace, H5S_SELECT_SET, start, nullptr, size, nullptr);
        const hid_t memorySpace = H5Screate_simple(rank, size, nullptr);
        const herr_t status
            = H5Dread(datasets[d], memoryType(d), memorySpace, fileSpace, H5P_DEFAULT, data[d]);
        H5Sclose(memorySpace);
        H5Sclose(fileSpace);
        if (status < 0) {
            *error = QStringLiteral("%1 is a damaged VazoRez recording: %2 cannot be read from "
                                    "frame %3 on (%4)")
                         .arg(path, kNames[d])
                         .arg(first)
                         .arg(hdf5Reason());
            return false;
        }
    }
    blockFirst = first;
    return true;
}

bool Hdf5Reader::readFrame(int64_t index, FrameValues *values, double *seconds, QString *error)
{
    if (index < 0 || index >= count) {
        *error = QStringLiteral("%1 has no frame %2").arg(path).arg(index);
        return false;
    }
    if (blockFirst < 0 || index < blockFirst || index >= blockFirst + blockSize) {
        if (!readBlock(index - index % int64_t(kBlockFrames), error))
            return false;
    }
    const size_t row = size_t(index - blockFirst);
    const int n = blockCounts[row];
    const size_t start = row * Hdf5Recording::kMaxSamples;
    values->mode = blockModes[row];
    values->byte3 = blockByte3[row];
    values->i.assign(blockI.begin() + long(start), blockI.begin() + long(start) + n);
    values->q.assign(blockQ.begin() + long(start), blockQ.begin() + long(start) + n);
    values->s.assign(blockS.begin() + long(start), blockS.begin() + long(start) + n);
    *seconds = blockTimes[row];
    return true;
}

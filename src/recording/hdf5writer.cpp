// SPDX-License-Identifier: MIT
#include "hdf5writer.h"

#include "framedecoder.h"
#include "hdf5common.h"

#include <QCoreApplication>
#include <QFile>
#include <QSysInfo>

#include <algorithm>
#include <cstring>
#ifdef Q_OS_LINUX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Hdf5Layout;

namespace {

// Rows per chunk of the sample arrays (16 x 255 int16 is an 8 KiB chunk). The per-frame values are
// not compressed: their chunks are rewritten in place.
constexpr hsize_t kRowsPerChunk = 16;
// Room made on the disk before each write, beyond what its frames need uncompressed (the
// metadata a write changes takes a few KiB).
constexpr qint64 kHeadroomBytes = 64 * 1024;
constexpr hsize_t kTimesPerChunk = 512;
constexpr auto kFlushEvery = std::chrono::seconds(1);

const char *const kUnits[DatasetCount]
    = {"s", "", "", "samples", "ADC counts", "ADC counts", "board units"};
const char *const kMeaning[DatasetCount]
    = {"time of the frame's last byte, seconds since the recording started",
        "mode byte: 0 CW, 1 FMCW", "the frame's free byte, as sent",
        "samples per channel in the frame", "I samples; row k holds n[k] values, the rest 0",
        "Q samples; row k holds n[k] values, the rest 0",
        "spectrum in frame order; row k holds n[k] values, the rest 0"};

uint32_t bigEndian(const char *bytes, int size)
{
    uint32_t value = 0;
    for (int k = 0; k < size; ++k)
        value = (value << 8) | uint8_t(bytes[k]);
    return value;
}

} // namespace

Hdf5Writer::~Hdf5Writer()
{
    if (file >= 0) {
        closeAll(datasets);
        H5Fclose(file);
    }
}

bool Hdf5Writer::fail(const QString &what)
{
    if (error.isEmpty())
        error = what.isEmpty() ? hdf5Reason() : what + QStringLiteral(": ") + hdf5Reason();
    broken = true;
    return false;
}

bool Hdf5Writer::create(const QString &path, const RecordingContext &context)
{
    silenceLibrary();
    file = H5Fcreate(QFile::encodeName(path).constData(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    if (file < 0)
        return fail(QStringLiteral("cannot create an HDF5 file"));
    const QDateTime start
        = (context.start.isValid() ? context.start : QDateTime::currentDateTimeUtc()).toUTC();
    bool written = writeStringAttribute(file, "format", QString::fromLatin1(kFormatName))
        && writeIntAttribute(file, "format_version", Hdf5Recording::kFormatVersion)
        && writeStringAttribute(file, "program",
            context.program.isEmpty()
                ? QCoreApplication::applicationName() + QStringLiteral(" " VAZOREZ_VERSION)
                : context.program)
        && writeStringAttribute(file, "start_time_utc", start.toString(Qt::ISODateWithMs))
        && writeStringAttribute(file, "source", context.source)
        && writeStringAttribute(file, "line_settings", Hdf5Recording::lineSettingsText())
        && writeStringAttribute(file, "host", QSysInfo::machineHostName())
        && writeStringAttribute(file, "note", context.note);
    if (written && !context.radarProfileJson.isEmpty())
        written = writeStringAttribute(file, "radar_profile", context.radarProfileJson);
    if (!written)
        return fail(QStringLiteral("cannot write the session's attributes"));

    for (int d = 0; d < DatasetCount; ++d) {
        const int rank = isMatrix(d) ? 2 : 1;
        const hsize_t initial[2] = {0, Hdf5Recording::kMaxSamples};
        const hsize_t maximum[2] = {H5S_UNLIMITED, Hdf5Recording::kMaxSamples};
        const hsize_t chunk[2]
            = {isMatrix(d) ? kRowsPerChunk : kTimesPerChunk, Hdf5Recording::kMaxSamples};
        const hid_t space = H5Screate_simple(rank, initial, maximum);
        const hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
        H5Pset_chunk(properties, rank, chunk);
        if (isMatrix(d)) {
            H5Pset_shuffle(properties);
            H5Pset_deflate(properties, 1);
        }
        datasets[d]
            = H5Dcreate2(file, kNames[d], fileType(d), space, H5P_DEFAULT, properties, H5P_DEFAULT);
        H5Pclose(properties);
        H5Sclose(space);
        if (datasets[d] < 0)
            return fail(QStringLiteral("cannot create the dataset %1").arg(kNames[d]));
        if (!writeStringAttribute(datasets[d], "units", QString::fromLatin1(kUnits[d]))
            || !writeStringAttribute(datasets[d], "description", QString::fromLatin1(kMeaning[d])))
            return fail(QStringLiteral("cannot describe the dataset %1").arg(kNames[d]));
    }
    lastFlush = std::chrono::steady_clock::now();
    return H5Fflush(file, H5F_SCOPE_GLOBAL) >= 0 || fail(QString()); // the caller says "write"
}

bool Hdf5Writer::append(double seconds, const char *frameBytes, int length)
{
    if (broken || file < 0)
        return false;
    const int n = (length - FrameDecoder::kMinFrameLength) / 8;
    pendingTimes.push_back(seconds);
    pendingModes.push_back(uint8_t(frameBytes[2]));
    pendingByte3.push_back(uint8_t(frameBytes[3]));
    pendingCounts.push_back(uint8_t(n));
    const size_t row = pendingI.size();
    pendingI.resize(row + Hdf5Recording::kMaxSamples);
    pendingQ.resize(row + Hdf5Recording::kMaxSamples);
    pendingS.resize(row + Hdf5Recording::kMaxSamples);
    const char *samples = frameBytes + 5;
    for (int k = 0; k < n; ++k) {
        pendingI[row + size_t(k)] = int16_t(bigEndian(samples + 2 * k, 2));
        pendingQ[row + size_t(k)] = int16_t(bigEndian(samples + 2 * (n + k), 2));
        pendingS[row + size_t(k)] = int32_t(bigEndian(samples + 4 * n + 4 * k, 4));
    }
    if (pendingTimes.size() >= kBlockFrames
        || std::chrono::steady_clock::now() - lastFlush >= kFlushEvery)
        return flush();
    return true;
}

bool Hdf5Writer::writeRows()
{
    const hsize_t rows = pendingTimes.size();
    const void *data[DatasetCount] = {pendingTimes.data(), pendingModes.data(), pendingByte3.data(),
        pendingCounts.data(), pendingI.data(), pendingQ.data(), pendingS.data()};
    for (int d = 0; d < DatasetCount; ++d) {
        const int rank = isMatrix(d) ? 2 : 1;
        const hsize_t extent[2] = {hsize_t(flushed) + rows, Hdf5Recording::kMaxSamples};
        const hsize_t start[2] = {hsize_t(flushed), 0};
        const hsize_t size[2] = {rows, Hdf5Recording::kMaxSamples};
        if (H5Dset_extent(datasets[d], extent) < 0)
            return fail(QStringLiteral("cannot grow %1").arg(kNames[d]));
        const hid_t fileSpace = H5Dget_space(datasets[d]);
        H5Sselect_hyperslab(fileSpace, H5S_SELECT_SET, start, nullptr, size, nullptr);
        const hid_t memorySpace = H5Screate_simple(rank, size, nullptr);
        const herr_t status
            = H5Dwrite(datasets[d], memoryType(d), memorySpace, fileSpace, H5P_DEFAULT, data[d]);
        H5Sclose(memorySpace);
        H5Sclose(fileSpace);
        if (status < 0)
            return fail(QStringLiteral("cannot write %1").arg(kNames[d]));
    }
    return true;
}

#ifdef Q_OS_LINUX
// The file's descriptor and where the library's data ends (its end of allocation); false when
// the driver does not say.
static bool descriptorAndEnd(hid_t file, int *descriptor, off_t *end)
{
    int *handle = nullptr;
    haddr_t allocated = 0;
    if (H5Fget_vfd_handle(file, H5P_DEFAULT, reinterpret_cast<void **>(&handle)) < 0 || !handle
        || H5Fget_eoa(file, &allocated) < 0) {
        H5Eclear2(H5E_DEFAULT);
        return false;
    }
    *descriptor = *handle;
    *end = off_t(allocated);
    return true;
}
#endif

void Hdf5Writer::giveBackRoom()
{
#ifdef Q_OS_LINUX
    // The library does not know of the room taken ahead and would leave it at the file's end
    // (150 KB of zeros after a few frames): the file ends where the library's data ends.
    int descriptor = -1;
    off_t end = 0;
    struct stat status { };
    if (descriptorAndEnd(file, &descriptor, &end) && end > 0 && ::fstat(descriptor, &status) == 0
        && status.st_size > end) {
        [[maybe_unused]] const int ignored = ::ftruncate(descriptor, end);
    }
#endif
}

bool Hdf5Writer::reserveRoom()
{
#ifdef Q_OS_LINUX // posix_fallocate
    // The space a write will take is taken from the disk first: a full disk (or a file size limit)
    // then fails here, before the file is touched, and the file stays as the last flush left it.
    // The room not used is given back as the file closes (giveBackRoom).
    int descriptor = -1;
    off_t end = 0;
    if (!descriptorAndEnd(file, &descriptor, &end))
        return true; // no room can be made ahead; the write itself will tell
    // A chunk that was partly filled is written again whole, so its rows count too.
    const qint64 needed
        = qint64(pendingTimes.size() + kRowsPerChunk) * (Hdf5Recording::kMaxSamples * 8 + 11)
        + kHeadroomBytes;
    const int failed = posix_fallocate(descriptor, end, off_t(needed));
    if (failed != 0 && failed != EOPNOTSUPP && failed != EINVAL) {
        error = QString::fromLocal8Bit(strerror(failed));
        broken = true;
        return false;
    }
#endif
    return true;
}

std::chrono::steady_clock::duration Hdf5Writer::untilFlushDue() const
{
    if (pendingTimes.empty() || broken || file < 0)
        return std::chrono::steady_clock::duration(-1);
    return std::max(std::chrono::steady_clock::duration::zero(),
        lastFlush + kFlushEvery - std::chrono::steady_clock::now());
}

bool Hdf5Writer::flushIfDue()
{
    if (pendingTimes.empty() || std::chrono::steady_clock::now() - lastFlush < kFlushEvery)
        return true;
    return flush();
}

bool Hdf5Writer::flush()
{
    silenceLibrary(); // written on the worker, made on another thread
    if (broken || file < 0)
        return false;
    lastFlush = std::chrono::steady_clock::now();
    if (!pendingTimes.empty() && !reserveRoom())
        return false;
    if (!pendingTimes.empty() && !writeRows())
        return false;
    if (H5Fflush(file, H5F_SCOPE_GLOBAL) < 0)
        return fail(QString());
    flushed += int64_t(pendingTimes.size());
    pendingTimes.clear();
    pendingModes.clear();
    pendingByte3.clear();
    pendingCounts.clear();
    pendingI.clear();
    pendingQ.clear();
    pendingS.clear();
    return true;
}

bool Hdf5Writer::close()
{
    silenceLibrary(); // written on the worker, made on another thread
    if (file < 0)
        return true;
    const bool brokenBefore = broken;
    if (!broken)
        flush();
    if (broken) {
        // The rows of a failed write may be half there: the datasets end on the last flush.
        for (int d = 0; d < DatasetCount; ++d) {
            const hsize_t extent[2] = {hsize_t(flushed), Hdf5Recording::kMaxSamples};
            H5Dset_extent(datasets[d], extent);
        }
    }
    giveBackRoom();
    closeAll(datasets);
    const bool closed = H5Fclose(file) >= 0;
    file = -1;
    if (!closed)
        return fail(QStringLiteral("cannot close the file"));
    H5Eclear2(H5E_DEFAULT);
    if (broken)
        error += QStringLiteral("; the file keeps the %1 frames written before").arg(flushed);
    // An error the caller was told of already leaves a whole file of what was flushed.
    return brokenBefore || !broken;
}

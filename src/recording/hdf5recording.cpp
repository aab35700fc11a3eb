// SPDX-License-Identifier: MIT
#include "hdf5recording.h"

#include "framedecoder.h"
#include "linesettings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include <hdf5.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <tuple>
#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

constexpr char kFormatName[] = "vazorez-recording";
// Frames gathered before a write, and rows per chunk of the sample arrays (16 x 255 int16 is an
// 8 KiB chunk). The per-frame values are not compressed: their chunks are rewritten in place.
constexpr size_t kBlockFrames = 256;
constexpr hsize_t kRowsPerChunk = 16;
// Room made on the disk before each write, beyond what its frames need uncompressed (the
// metadata a write changes takes a few KiB).
constexpr qint64 kHeadroomBytes = 64 * 1024;
constexpr hsize_t kTimesPerChunk = 512;
constexpr auto kFlushEvery = std::chrono::seconds(1);

enum Dataset { Time, Mode, Byte3, Count, I, Q, S, DatasetCount };
const char *const kNames[DatasetCount] = {"time_s", "mode", "byte3", "n", "i", "q", "s"};
const char *const kUnits[DatasetCount]
    = {"s", "", "", "samples", "ADC counts", "ADC counts", "board units"};
const char *const kMeaning[DatasetCount]
    = {"time of the frame's last byte, seconds since the recording started",
        "mode byte: 0 CW, 1 FMCW", "the frame's free byte, as sent",
        "samples per channel in the frame", "I samples; row k holds n[k] values, the rest 0",
        "Q samples; row k holds n[k] values, the rest 0",
        "spectrum in frame order; row k holds n[k] values, the rest 0"};

bool isMatrix(int dataset)
{
    return dataset >= I;
}

hid_t memoryType(int dataset)
{
    switch (dataset) {
    case Time:
        return H5T_NATIVE_DOUBLE;
    case I:
    case Q:
        return H5T_NATIVE_INT16;
    case S:
        return H5T_NATIVE_INT32;
    default:
        return H5T_NATIVE_UINT8;
    }
}

hid_t fileType(int dataset)
{
    switch (dataset) {
    case Time:
        return H5T_IEEE_F64LE;
    case I:
    case Q:
        return H5T_STD_I16LE;
    case S:
        return H5T_STD_I32LE;
    default:
        return H5T_STD_U8LE;
    }
}

// HDF5 keeps its reasons on an error stack; the deepest entry is the most concrete one (often the
// system's own words).
herr_t keepDeepest(unsigned, const H5E_error2_t *entry, void *data)
{
    if (!entry->desc || !*entry->desc)
        return 0;
    QString reason = QString::fromUtf8(entry->desc);
    // A failed system call reads "file write failed: time = ..., error message = 'File too
    // large', ...": the system's words are what a user can act on.
    const int from = reason.indexOf(QLatin1String("error message = '"));
    if (from >= 0) {
        const int start = from + 17;
        reason = reason.mid(start, reason.indexOf('\'', start) - start);
    }
    *static_cast<QString *>(data) = reason;
    return 0;
}

QString hdf5Reason()
{
    QString reason;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, keepDeepest, &reason);
    H5Eclear2(H5E_DEFAULT);
    return reason.isEmpty() ? QStringLiteral("HDF5 error") : reason;
}

// The library prints its error stack by default; we turn it into our own messages.
void silenceLibrary()
{
    static const bool silenced = [] {
        // A file whose flush failed (a full disk, a size limit) cannot be closed; the library's
        // own clean-up at exit then closes it again and crashes. Every file of ours is closed
        // by its owner, so the clean-up at exit has nothing to do that matters.
        H5dont_atexit();
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        return true;
    }();
    Q_UNUSED(silenced)
}

// Strings are fixed-length: reading one never follows a reference out of the attribute's own bytes
// (a damaged variable-length reference sends the library's reader astray).
bool writeStringAttribute(hid_t object, const char *name, const QString &value)
{
    QByteArray utf8 = value.toUtf8();
    if (utf8.isEmpty())
        utf8 = QByteArray(1, '\0'); // HDF5 has no zero-length fixed string
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, size_t(utf8.size()));
    H5Tset_cset(type, H5T_CSET_UTF8);
    H5Tset_strpad(type, H5T_STR_NULLPAD);
    const hid_t space = H5Screate(H5S_SCALAR);
    const hid_t attribute = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    const bool written = attribute >= 0 && H5Awrite(attribute, type, utf8.constData()) >= 0;
    if (attribute >= 0)
        H5Aclose(attribute);
    H5Sclose(space);
    H5Tclose(type);
    return written;
}

bool writeIntAttribute(hid_t object, const char *name, int value)
{
    const hid_t space = H5Screate(H5S_SCALAR);
    const hid_t attribute
        = H5Acreate2(object, name, H5T_STD_I32LE, space, H5P_DEFAULT, H5P_DEFAULT);
    const bool written = attribute >= 0 && H5Awrite(attribute, H5T_NATIVE_INT, &value) >= 0;
    if (attribute >= 0)
        H5Aclose(attribute);
    H5Sclose(space);
    return written;
}

// A string attribute, or nothing: fixed-length as writeStringAttribute writes it, or of variable
// length, as h5py writes a str (someone who added a note or a profile to a recording).
bool readStringAttribute(hid_t object, const char *name, QString *value)
{
    if (H5Aexists(object, name) <= 0)
        return false;
    const hid_t attribute = H5Aopen(object, name, H5P_DEFAULT);
    if (attribute < 0)
        return false;
    const hid_t stored = H5Aget_type(attribute);
    const hid_t space = H5Aget_space(attribute);
    bool read = false;
    const size_t size = H5Tget_size(stored);
    if (H5Tget_class(stored) == H5T_STRING && H5Tis_variable_str(stored) == 0 && size > 0
        && size < (1u << 20) && H5Sget_simple_extent_npoints(space) == 1) {
        QByteArray text(int(size), '\0');
        if (H5Aread(attribute, stored, text.data()) >= 0) {
            *value
                = QString::fromUtf8(text.constData(), int(qstrnlen(text.constData(), uint(size))));
            read = true;
        }
    } else if (H5Tget_class(stored) == H5T_STRING && H5Tis_variable_str(stored) > 0
        && H5Sget_simple_extent_npoints(space) == 1) {
        const hid_t memory = H5Tcopy(H5T_C_S1);
        H5Tset_size(memory, H5T_VARIABLE);
        H5Tset_cset(memory, H5Tget_cset(stored));
        char *text = nullptr;
        if (H5Aread(attribute, memory, &text) >= 0 && text) {
            *value = QString::fromUtf8(text, int(qstrnlen(text, 1u << 20)));
            read = true;
        }
        if (text)
            H5free_memory(text);
        H5Tclose(memory);
    }
    H5Sclose(space);
    H5Tclose(stored);
    H5Aclose(attribute);
    return read;
}

bool readIntAttribute(hid_t object, const char *name, int *value)
{
    if (H5Aexists(object, name) <= 0)
        return false;
    const hid_t attribute = H5Aopen(object, name, H5P_DEFAULT);
    if (attribute < 0)
        return false;
    const hid_t stored = H5Aget_type(attribute);
    const hid_t space = H5Aget_space(attribute);
    const bool read = H5Tget_class(stored) == H5T_INTEGER
        && H5Sget_simple_extent_npoints(space) == 1
        && H5Aread(attribute, H5T_NATIVE_INT, value) >= 0;
    H5Sclose(space);
    H5Tclose(stored);
    H5Aclose(attribute);
    return read;
}

uint32_t bigEndian(const char *bytes, int size)
{
    uint32_t value = 0;
    for (int k = 0; k < size; ++k)
        value = (value << 8) | uint8_t(bytes[k]);
    return value;
}

void closeAll(int64_t *datasets)
{
    for (int d = 0; d < DatasetCount; ++d) {
        if (datasets[d] >= 0)
            H5Dclose(datasets[d]);
        datasets[d] = -1;
    }
}

} // namespace

bool Hdf5Recording::hasSignature(const QString &path)
{
    QFile file(path);
    static const QByteArray signature("\x89HDF\r\n\x1a\n", 8);
    return file.open(QIODevice::ReadOnly) && file.read(8) == signature;
}

QByteArray Hdf5Recording::radarProfileOf(const QString &path)
{
    if (!QFileInfo(path).isFile() || !hasSignature(path))
        return QByteArray();
    Hdf5Reader reader;
    QString error;
    return reader.open(path, &error) ? reader.attribute("radar_profile").toUtf8() : QByteArray();
}

QString Hdf5Recording::lineSettingsText()
{
    return QStringLiteral("%1 baud, 8 data bits, no parity, 1 stop bit, RTS/CTS")
        .arg(LineSettings::kBaudRate);
}

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

Hdf5Reader::~Hdf5Reader()
{
    endProbe(false);
    closeAll(datasets);
    if (file >= 0)
        H5Fclose(file);
}

namespace {

// What the child reports, 16 bytes at a time (one write each, whole on a pipe).
enum Report : int64_t { StructureRead, TimesRead, FramesRead };
// Rows of times and counts the child reads at a time.
constexpr int64_t kTimesPerStep = 4096;
// A child that reports nothing for this long is taken for hanging in a damaged file; a report
// comes at least every 256 frames, a few milliseconds apart.
constexpr qint64 kProbePatienceMs = 30000;
// The session's attributes, read by the child too.
const char *const kAttributes[]
    = {"program", "start_time_utc", "source", "line_settings", "host", "note", "radar_profile"};

} // namespace

void Hdf5Reader::probe(int reports)
{
#ifdef Q_OS_UNIX
    // Only HDF5 calls, writes to the pipe and std::_Exit: the parent's files and handlers are left
    // alone.
    const auto report = [reports](Report what, int64_t through) {
        const int64_t message[2] = {what, through};
        while (::write(reports, message, sizeof message) < 0 && errno == EINTR) { }
    };
    probePid = -1;
    probeReports = -1;
    probeOver = true; // this process reads without waiting
    probeFailed = false;
    QString ignored;
    if (!openInThisProcess(path, &ignored))
        std::_Exit(0); // the parent finds the same fault, and says it
    for (const char *name : kAttributes)
        attribute(name);
    report(StructureRead, 0);
    std::vector<double> times;
    std::vector<uint8_t> counts;
    // A read that fails without crashing fails the same way in the parent: read on past it.
    for (int64_t first = 0; first < count; first += kTimesPerStep) {
        readTimesAndCounts(first, kTimesPerStep, &times, &counts, &ignored);
        report(TimesRead, std::min(count, first + kTimesPerStep));
    }
    for (int64_t first = 0; first < count; first += int64_t(kBlockFrames)) {
        readBlock(first, &ignored);
        report(FramesRead, std::min(count, first + int64_t(kBlockFrames)));
    }
#else
    Q_UNUSED(reports)
#endif
    std::_Exit(0);
}

bool Hdf5Reader::startProbe(const QString &name)
{
#ifdef Q_OS_UNIX
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return true; // no probe possible: read it here
    path = name;
    const pid_t child = fork();
    if (child < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return true;
    }
    if (child == 0) {
        ::close(ends[0]);
        probe(ends[1]);
    }
    ::close(ends[1]);
    probePid = child;
    probeReports = ends[0];
    probeOver = false;
    probeFailed = false;
    indexChecked = wholeChecked = 0;
    sinceReport.start();
    // The structure first: whether the file can be opened at all. A child that ends without a
    // word found a fault it could say; the parent then finds and says it too.
    while (!probeOver && !structureSeen)
        takeReports(1000);
    return structureSeen || !probeFailed;
#else
    Q_UNUSED(name)
    return true;
#endif
}

void Hdf5Reader::takeReports(int waitMs)
{
#ifdef Q_OS_UNIX
    if (probeOver)
        return;
    pollfd ready{probeReports, POLLIN, 0};
    const int polled = ::poll(&ready, 1, waitMs);
    if (polled > 0) {
        char buffer[4096];
        const ssize_t got = ::read(probeReports, buffer, sizeof buffer);
        if (got == 0) {
            // The child is gone: done, or killed by the library's fault.
            int status = 0;
            while (::waitpid(pid_t(probePid), &status, 0) < 0 && errno == EINTR) { }
            probePid = -1;
            endProbe(!WIFEXITED(status)); // when it exited, it read everything it could
            return;
        }
        if (got > 0) {
            partialReport.append(buffer, int(got));
            int used = 0;
            for (; partialReport.size() - used >= 16; used += 16) {
                int64_t message[2];
                std::memcpy(message, partialReport.constData() + used, sizeof message);
                if (message[0] == StructureRead)
                    structureSeen = true;
                else if (message[0] == TimesRead)
                    indexChecked = std::max(indexChecked, message[1]);
                else
                    wholeChecked = std::max(wholeChecked, message[1]);
            }
            partialReport.remove(0, used);
            sinceReport.start();
            return;
        }
    }
    if (sinceReport.elapsed() > kProbePatienceMs)
        endProbe(true);
#else
    Q_UNUSED(waitMs)
#endif
}

void Hdf5Reader::endProbe(bool failed)
{
#ifdef Q_OS_UNIX
    if (probePid > 0) {
        ::kill(pid_t(probePid), SIGKILL);
        while (::waitpid(pid_t(probePid), nullptr, 0) < 0 && errno == EINTR) { }
    }
    if (probeReports >= 0)
        ::close(probeReports);
#endif
    probePid = -1;
    probeReports = -1;
    probeFailed = probeFailed || failed;
    probeOver = true;
}

int64_t Hdf5Reader::framesChecked(int waitMs)
{
    takeReports(waitMs);
    return probeOver && !probeFailed ? count : wholeChecked;
}

bool Hdf5Reader::checkedUpTo(bool wholeFrames, int64_t end, QString *error)
{
    const int64_t &reached = wholeFrames ? wholeChecked : indexChecked;
    while (reached < end && !probeOver)
        takeReports(1000);
    if (reached >= end || !probeFailed)
        return true;
    *error = checkError();
    return false;
}

QString Hdf5Reader::checkError() const
{
    if (!probeFailed)
        return QString();
    return QStringLiteral("%1 is a damaged HDF5 file: the HDF5 library fails while reading it "
                          "from frame %2 on")
        .arg(path)
        .arg(wholeChecked);
}

bool Hdf5Reader::open(const QString &name, QString *error)
{
    if (Hdf5Recording::hasSignature(name) && !startProbe(name)) {
        path = name;
        *error
            = QStringLiteral("%1 is a damaged HDF5 file: the HDF5 library fails while reading it")
                  .arg(name);
        return false;
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
        *error
            = QStringLiteral("%1 is a truncated or damaged HDF5 file (%2)").arg(path, hdf5Reason());
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

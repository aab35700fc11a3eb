// SPDX-License-Identifier: MIT
// Recordings as HDF5 files that carry their session: who wrote them, when, from which port or
// file, with which line settings and note. One chunked, compressed dataset per quantity, growing as
// frames arrive:
//   time_s float64 [N]        seconds since the recording started
//   mode, byte3, n uint8 [N]  the frame's mode byte (0 CW, 1 FMCW), free byte and sample count
//   i, q int16 [N, 255]       samples; row k holds n[k] values, the rest 0
//   s int32 [N, 255]          spectrum in frame order, the same way
// Fixed rows of 255 rather than variable-length ones: HDF5 cannot compress variable-length data,
// and a fixed matrix is what numpy and MATLAB load in one call. The zero tails cost next to nothing
// once deflated.
#pragma once

#include "frameencoder.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QString>

#include <chrono>
#include <cstdint>
#include <vector>

// The session a recording comes from, written as the file's attributes.
struct RecordingContext {
    QString program; // empty: the running program's name and version, "vazorez-capture 1.0.0"
    QString source; // the port or the replayed file
    QString note; // the user's own words; may be empty
    // The radar profile in force, as JSON; empty when there is none, and then not written.
    QString radarProfileJson;
    QDateTime start; // the recording's start; invalid: when the file is created
};

namespace Hdf5Recording {
constexpr int kFormatVersion = 1;
constexpr int kMaxSamples = 255;
// The first bytes of every HDF5 file.
bool hasSignature(const QString &path);
// The radar profile (JSON) an h5 recording of ours keeps in its session; empty when it keeps none,
// or is no such recording.
QByteArray radarProfileOf(const QString &path);
// "115200 baud, 8 data bits, no parity, 1 stop bit, RTS/CTS".
QString lineSettingsText();
} // namespace Hdf5Recording

class Hdf5Writer {
public:
    Hdf5Writer() = default;
    ~Hdf5Writer();
    Hdf5Writer(const Hdf5Writer &) = delete;
    Hdf5Writer &operator=(const Hdf5Writer &) = delete;

    // Creates `path` (which must be a regular file: HDF5 seeks) with the session's attributes.
    bool create(const QString &path, const RecordingContext &context);
    // One accepted frame and its time. Frames are gathered and written at least once a second.
    bool append(double seconds, const char *frameBytes, int length);
    // Writes what is gathered and hands the file to the system.
    bool flush();
    // Flushes what waits when the last flush is a second old: for a line that has gone quiet, whose
    // next frame would otherwise be the next chance.
    bool flushIfDue();
    // Ends the file. After a write error it keeps the frames flushed before it, adds how many to
    // errorString() and returns true once that file is whole; false when closing itself failed.
    bool close();

    bool isOpen() const { return file >= 0; }
    // How long until the frames gathered are due for a flush (0: due now); a negative time when
    // none is gathered.
    std::chrono::steady_clock::duration untilFlushDue() const;
    int64_t frames() const { return flushed + int64_t(pendingTimes.size()); }
    int64_t framesFlushed() const { return flushed; }
    QString errorString() const { return error; }

private:
    bool fail(const QString &what);
    bool writeRows();
    bool reserveRoom();
    void giveBackRoom();

    int64_t file = -1;
    int64_t datasets[7] = {-1, -1, -1, -1, -1, -1, -1};
    int64_t flushed = 0;
    std::vector<double> pendingTimes;
    std::vector<uint8_t> pendingModes, pendingByte3, pendingCounts;
    std::vector<int16_t> pendingI, pendingQ;
    std::vector<int32_t> pendingS;
    std::chrono::steady_clock::time_point lastFlush;
    bool broken = false;
    QString error;
};

// Reads a recording back; refuses a file that is not one of ours, with a message that says why.
// libhdf5 trusts a file's own metadata: a damaged object header or chunk index can crash it in the
// middle of a read. So the file is read once in a child process first, which reports how far it
// got: open() waits only for the file's structure (its attributes and datasets), and each read
// waits until the child has read the same rows, while the child reads on ahead. A file that would
// crash the library is refused, at open() or at the first frame the child could not read.
class Hdf5Reader {
public:
    Hdf5Reader() = default;
    ~Hdf5Reader();
    Hdf5Reader(const Hdf5Reader &) = delete;
    Hdf5Reader &operator=(const Hdf5Reader &) = delete;

    // False with *error: "FILE: ..." naming what is wrong (not HDF5, damaged, foreign, another
    // format version, a missing or misshapen dataset).
    bool open(const QString &path, QString *error);
    int64_t frames() const { return count; }
    // The session's attributes by name (empty when absent).
    QString attribute(const char *name) const;
    // Frames the child has read whole so far (every frame once it has read them all, up to the
    // damage when it failed), waiting up to `waitMs` for it to get further; for a frame index
    // that is ready once every frame can be read at once.
    int64_t framesChecked(int waitMs);
    // The child has read the whole file, or failed.
    bool checkOver() const { return probeOver; }
    // Why frames from framesChecked() on cannot be read; empty while none is refused.
    QString checkError() const;
    // The times and sample counts of `rows` frames from frame `first` (as many as there are),
    // for an index built a step at a time.
    bool readTimesAndCounts(int64_t first, int64_t rows, std::vector<double> *times,
        std::vector<uint8_t> *counts, QString *error);
    // Frame `index` as the board's values, and its time. Reads a block of frames at a time.
    bool readFrame(int64_t index, FrameValues *values, double *seconds, QString *error);

private:
    // Starts the child and waits for its word on the file's structure; false when the library
    // failed on it there.
    bool startProbe(const QString &path);
    // Takes the child's reports, waiting up to `waitMs` for one; a child that reports nothing for
    // long counts as failing.
    void takeReports(int waitMs);
    void endProbe(bool failed);
    // Waits until the child has read the times and counts (or whole frames) up to `end`; false
    // with *error when it failed before.
    bool checkedUpTo(bool wholeFrames, int64_t end, QString *error);
    bool openInThisProcess(const QString &path, QString *error);
    bool readBlock(int64_t first, QString *error);
    // What the child does: reads everything, reporting as it goes, and exits.
    [[noreturn]] void probe(int reports);

    QString path;
    int64_t file = -1;
    int64_t datasets[7] = {-1, -1, -1, -1, -1, -1, -1};
    int64_t count = 0;
    int64_t blockFirst = -1;
    int64_t blockSize = 0;
    std::vector<double> blockTimes;
    std::vector<uint8_t> blockModes, blockByte3, blockCounts;
    std::vector<int16_t> blockI, blockQ;
    std::vector<int32_t> blockS;
    // The child reading ahead, and how far it got.
    int64_t probePid = -1;
    int probeReports = -1;
    QByteArray partialReport;
    QElapsedTimer sinceReport;
    int64_t indexChecked = 0;
    int64_t wholeChecked = 0;
    bool structureSeen = false;
    bool probeOver = true; // no child: nothing to wait for
    bool probeFailed = false;
};

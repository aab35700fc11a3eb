// SPDX-License-Identifier: MIT
// Writes a recording as an h5 file (the layout in hdf5recording.h), a block of frames at a time.
#pragma once

#include "hdf5recording.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <vector>

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

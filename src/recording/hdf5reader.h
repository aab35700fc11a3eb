// SPDX-License-Identifier: MIT
// Reads an h5 recording back (the layout in hdf5recording.h), checked by a process of its own
// first.
#pragma once

#include "frameencoder.h"
#include "hdf5check.h"

#include <QString>

#include <cstdint>
#include <vector>

// Reads a recording back; refuses a file that is not one of ours, with a message that says why.
// libhdf5 trusts a file's own metadata: a damaged object header or chunk index can crash it in the
// middle of a read. So the file is read once by the checker first (hdf5check.h), which reports how
// far it got: open() waits only for the file's structure (its attributes and datasets), and each
// read waits until the checker has read the same rows, while the checker reads on ahead. A file
// that would crash the library is refused, at open() or at the first frame the checker could not
// read.
class Hdf5Reader {
public:
    Hdf5Reader() = default;
    ~Hdf5Reader();
    Hdf5Reader(const Hdf5Reader &) = delete;
    Hdf5Reader &operator=(const Hdf5Reader &) = delete;

    // False with *error: "FILE: ..." naming what is wrong (not HDF5, damaged, foreign, another
    // format version, a missing or misshapen dataset), or that the checker cannot be started.
    bool open(const QString &path, QString *error);
    int64_t frames() const { return count; }
    // The session's attributes by name (empty when absent).
    QString attribute(const char *name) const;
    // Frames the checker has read whole so far (every frame once it has read them all, up to the
    // damage when it failed), waiting up to `waitMs` for it to get further; for a frame index
    // that is ready once every frame can be read at once.
    int64_t framesChecked(int waitMs);
    // The checker has read the whole file, or failed.
    bool checkOver() const { return check.over(); }
    // Why frames from framesChecked() on cannot be read; empty while none is refused.
    QString checkError() const;
    // The times and sample counts of `rows` frames from frame `first` (as many as there are),
    // for an index built a step at a time.
    bool readTimesAndCounts(int64_t first, int64_t rows, std::vector<double> *times,
        std::vector<uint8_t> *counts, QString *error);
    // Frame `index` as the board's values, and its time. Reads a block of frames at a time.
    bool readFrame(int64_t index, FrameValues *values, double *seconds, QString *error);

private:
    // The checker reads with a reader of its own, without a check of its own.
    friend class Hdf5CheckProcess;

    // Waits until the checker has read the times and counts (or whole frames) up to `end`; false
    // with *error when it failed before.
    bool checkedUpTo(bool wholeFrames, int64_t end, QString *error);
    bool openInThisProcess(const QString &path, QString *error);
    bool readBlock(int64_t first, QString *error);

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
    Hdf5CheckProcess check;
};

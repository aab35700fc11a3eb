// SPDX-License-Identifier: MIT
// An HDF5 recording played back into the serial worker: each frame put back into its wire bytes,
// handed over at the times it was recorded with (or at a number of frames a second, or at once),
// and stamped with its recorded time. The frame index is built from the file's sample counts as
// it opens, so any frame can be reached without reading the frames before it.
#pragma once

#include "bytesource.h"
#include "hdf5recording.h"
#include "replaysource.h"

#include <QElapsedTimer>

#include <vector>

class Hdf5ReplaySource : public ByteSource {
public:
    Hdf5ReplaySource(
        const QString &path, ReplaySource::Rate rate, double framesPerSecond, bool loop);

    // A file this source plays: an .h5/.hdf5 name or HDF5's signature.
    static bool handles(const QString &path);

    // Checks the file and reads its frame index; false with *error saying what is wrong.
    bool open(QString *error);

    QString name() const override { return path; }
    int read(QByteArray &out, int limit) override;
    bool nextPass() override;
    double secondsAt(uint64_t offset) const override;
    int64_t framesPerPass() const override { return int64_t(times.size()); }

    bool canMove() const override { return true; }
    uint64_t moveTo(int64_t frame, bool play) override;
    void setFramesPerSecond(double framesPerSecond) override;

    // The next frame handed over is `frame`; the pace counts from it. Offsets given to secondsAt()
    // go on counting from the start of the pass as if the frames before it had been played.
    void seekToFrame(int64_t frame);
    // Every frame's time, for a replay bar.
    const std::vector<double> &frameTimes() const { return times; }
    // Where frame `frame` starts in a pass's bytes.
    uint64_t offsetOf(int64_t frame) const { return frame <= 0 ? 0 : ends[size_t(frame - 1)]; }
    double secondsOf(int64_t frame) const { return times[size_t(frame)]; }

private:
    double dueSecondsOf(int64_t frame) const;

    QString path;
    ReplaySource::Rate rate;
    double framesPerSecond;
    bool loop;
    Hdf5Reader reader;
    std::vector<double> times;
    std::vector<uint64_t> ends; // where each frame's bytes end in a pass
    int64_t nextFrame = 0;
    int64_t paceFrom = 0; // the frame the clock started at
    bool held = false; // hands over nothing, but for one frame after a move
    bool oneFrame = false;
    QElapsedTimer clock;
    QString readError;
};

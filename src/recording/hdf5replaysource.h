// SPDX-License-Identifier: MIT
// An HDF5 recording played back into the serial worker: each frame put back into its wire bytes,
// handed over at the times it was recorded with (or at a number of frames a second, or at once),
// and stamped with its recorded time. The frame index is built from the file's times and sample
// counts a step at a time as the replay plays (a long file's takes a moment), so that once it is
// whole any frame can be reached without reading the frames before it.
#pragma once

#include "bytesource.h"
#include "frameindex.h"
#include "hdf5reader.h"
#include "replaysource.h"

#include <QElapsedTimer>

#include <memory>
#include <vector>

class Hdf5ReplaySource : public ByteSource {
public:
    Hdf5ReplaySource(
        const QString &path, ReplaySource::Rate rate, double framesPerSecond, bool loop);

    // A file this source plays: an .h5/.hdf5 name or HDF5's signature.
    static bool handles(const QString &path);

    // Checks the file and takes the first step of its frame index (a short file's whole index);
    // false with *error saying what is wrong.
    bool open(QString *error);

    QString name() const override { return path; }
    QByteArray keptRadarProfile() const override { return keptProfile; }
    int read(QByteArray &out, int limit) override;
    bool nextPass() override;
    double secondsAt(uint64_t offset) const override;
    int64_t framesPerPass() const override { return reader.frames(); }

    bool canMove() const override { return true; }
    uint64_t moveTo(int64_t frame, bool play) override;
    void setFramesPerSecond(double framesPerSecond) override;

    // The next frame handed over is `frame`; the pace counts from it. Offsets given to secondsAt()
    // go on counting from the start of the pass as if the frames before it had been played.
    void seekToFrame(int64_t frame);
    // The index as it grows, for a replay bar.
    std::shared_ptr<const FrameIndex> index() const { return progress; }
    // Where frame `frame` starts in a pass's bytes.
    uint64_t offsetOf(int64_t frame) const { return frame <= 0 ? 0 : ends[size_t(frame - 1)]; }
    double secondsOf(int64_t frame) const { return times[size_t(frame)]; }

private:
    double dueSecondsOf(int64_t frame) const;
    // Indexes the next frames; true once the index is whole. False with *error for a time that is
    // no time: the index ends before it.
    bool indexStep(QString *error);

    QString path;
    ReplaySource::Rate rate;
    double framesPerSecond;
    bool loop;
    Hdf5Reader reader;
    std::vector<double> times; // of the frames indexed so far
    std::vector<uint64_t> ends; // where each frame's bytes end in a pass
    bool indexed = false;
    std::shared_ptr<FrameIndex> progress = std::make_shared<FrameIndex>();
    int64_t nextFrame = 0;
    int64_t paceFrom = 0; // the frame the clock started at
    bool held = false; // hands over nothing, but for one frame after a move
    bool oneFrame = false;
    QElapsedTimer clock;
    QString readError;
    QByteArray keptProfile;
};

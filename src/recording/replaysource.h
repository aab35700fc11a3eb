// SPDX-License-Identifier: MIT
// A recording played back into the serial worker: a raw capture or a dump of the line's bytes,
// handed over at the line's own pace, at a number of frames a second, or as fast as it is taken.
#pragma once

#include "bytesource.h"
#include "framedecoder.h"
#include "frameindex.h"
#include "framereceiver.h"

#include <QElapsedTimer>
#include <QFile>

#include <memory>
#include <vector>

class ReplaySource : public ByteSource {
public:
    enum class Rate { Line, Fixed, Max };
    // The paces that make sense in frames per second: from one frame in 100 s to far more than
    // the line carries (1645 of the smallest frames a second); `max` is as fast as it goes.
    static constexpr double kSlowestRate = 0.01;
    static constexpr double kFastestRate = 100000;
    // "0.01 to 100000": the range for messages.
    static QString rateRange();

    ReplaySource(const QString &path, Rate rate, double framesPerSecond, bool loop);

    // Reads the file through the receive rules up to its first frame and takes the first step of
    // the frame index (a short file's whole index): false with *error set when it cannot be read,
    // holds no frame, or the rate is out of range. Must be called before the source is handed to
    // the worker, whose reads build the rest of the index a step at a time as the replay plays.
    bool open(QString *error);

    QString name() const override { return path; }
    int read(QByteArray &out, int limit) override;
    bool nextPass() override;
    double secondsAt(uint64_t offset) const override;
    // Known once the whole file is indexed.
    int64_t framesPerPass() const override { return indexed ? frameCount : 0; }

    // Moving through the capture: the frames' places are known from the index.
    bool canMove() const override { return true; }
    uint64_t moveTo(int64_t frame, bool play) override;
    void setFramesPerSecond(double framesPerSecond) override;
    // The index as it grows, for a replay bar; its times are when each frame's last byte arrives
    // at the line's rate.
    std::shared_ptr<const FrameIndex> index() const { return progress; }

private:
    // Bytes of the file that are due `elapsed` seconds into a pass.
    uint64_t dueBytes(double elapsed) const;
    // Indexes the next stretch of the file; true once the index is whole.
    bool indexStep();

    QString path;
    Rate rate;
    double framesPerSecond;
    bool loop;
    QFile file;
    uint64_t fileSize = 0;
    int64_t frameCount = 0;
    std::vector<uint64_t> frameStarts;
    std::vector<uint64_t> frameEnds;
    // The index is built from a file of its own, through receive rules of its own.
    QFile indexFile;
    FrameReceiver indexReceiver;
    FrameDecoder indexDecoder;
    frame_t indexRecord;
    bool indexed = false;
    std::shared_ptr<FrameIndex> progress = std::make_shared<FrameIndex>();
    uint64_t given = 0; // bytes handed over in this pass
    QElapsedTimer clock;
    // Where the pace counts from: the first frame of the pass, or the one moved to.
    int64_t paceFrame = 0;
    uint64_t paceByte = 0;
    bool held = false; // hands over nothing, but one frame after a move
    uint64_t heldEnd = 0; // the end of that frame
};

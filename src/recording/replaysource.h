// SPDX-License-Identifier: MIT
// A recording played back into the serial worker: a raw capture or a dump of the line's bytes,
// handed over at the line's own pace, at a number of frames a second, or as fast as it is taken.
#pragma once

#include "bytesource.h"

#include <QElapsedTimer>
#include <QFile>

#include <vector>

class ReplaySource : public ByteSource {
public:
    enum class Rate { Line, Fixed, Max };

    ReplaySource(const QString &path, Rate rate, double framesPerSecond, bool loop);

    // Reads the file once through the receive rules: false with *error set when it cannot be read
    // or holds no frame. Must be called before the source is handed to the worker.
    bool open(QString *error);

    QString name() const override { return path; }
    int read(QByteArray &out, int limit) override;
    bool nextPass() override;
    double secondsAt(uint64_t offset) const override;
    int64_t framesPerPass() const override { return frameCount; }

    // Moving through the capture: the frames' places are known from the counting pass.
    bool canMove() const override { return true; }
    uint64_t moveTo(int64_t frame, bool play) override;
    void setFramesPerSecond(double framesPerSecond) override;
    // When each frame's last byte arrives at the line's rate, for a replay bar.
    std::vector<double> frameTimes() const;

private:
    // Bytes of the file that are due `elapsed` seconds into a pass.
    uint64_t dueBytes(double elapsed) const;

    QString path;
    Rate rate;
    double framesPerSecond;
    bool loop;
    QFile file;
    uint64_t fileSize = 0;
    int64_t frameCount = 0;
    std::vector<uint64_t> frameStarts;
    std::vector<uint64_t> frameEnds;
    uint64_t given = 0; // bytes handed over in this pass
    QElapsedTimer clock;
    // Where the pace counts from: the first frame of the pass, or the one moved to.
    int64_t paceFrame = 0;
    uint64_t paceByte = 0;
    bool held = false; // hands over nothing, but one frame after a move
    uint64_t heldEnd = 0; // the end of that frame
};

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
    std::vector<uint64_t> frameEnds; // kept only when paced by frames
    uint64_t given = 0; // bytes handed over in this pass
    QElapsedTimer clock;
};

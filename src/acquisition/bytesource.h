// SPDX-License-Identifier: MIT
// Bytes that reach the serial worker from somewhere other than a serial port: a recording played
// back through the same receive rules, into the same window. The worker owns the source once it is
// handed over and uses it only on its own thread.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // What the status bar calls it (a file name).
    virtual QString name() const = 0;
    // The radar profile (JSON) the recording keeps inside it, read when the source was opened;
    // empty when it keeps none. The taps hear of it with the link (LinkOpening).
    virtual QByteArray keptRadarProfile() const { return QByteArray(); }
    // Appends the bytes due by now, at most `limit`, to `out`. Returns the milliseconds until more
    // are due (0: at once), or -1 when this pass is over.
    virtual int read(QByteArray &out, int limit) = 0;
    // Starts the next pass from the beginning; false when there is none.
    virtual bool nextPass() = 0;
    // The recording's own time of the byte at `offset` of the current pass, in seconds.
    virtual double secondsAt(uint64_t offset) const = 0;
    // Frames in one pass, as far as the source knows them (0: unknown).
    virtual int64_t framesPerPass() const = 0;

    // A recording whose frames can be reached directly, for a replay one moves through.
    virtual bool canMove() const { return false; }
    // From now on frame `frame` of the pass comes next (-1: the frame that would have come anyway):
    // played on at the pace when `play`, else held, and then only that one frame is handed over.
    // Returns where that frame starts in the pass's bytes.
    virtual uint64_t moveTo(int64_t frame, bool play)
    {
        Q_UNUSED(frame)
        Q_UNUSED(play)
        return 0;
    }
    // The pace from now on: frames a second; 0: the recording's own pace; infinity: at once.
    virtual void setFramesPerSecond(double framesPerSecond) { Q_UNUSED(framesPerSecond) }
};

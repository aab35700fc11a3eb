// SPDX-License-Identifier: MIT
#include "statusline.h"

QString StatusLine::describe(const LinkStatus &status)
{
    return describe(status, Extras());
}

QString StatusLine::describe(const LinkStatus &status, const Extras &extras)
{
    const bool sameLink = last.name == status.name && status.seconds >= last.seconds
        && status.framesDecoded >= last.framesDecoded;
    const double interval = sameLink ? status.seconds - last.seconds : status.seconds;
    const uint64_t frames
        = sameLink ? status.framesDecoded - last.framesDecoded : status.framesDecoded;
    // Over less than a tenth of a second the rate says little: keep the last one.
    if (interval >= 0.1)
        rate = double(frames) / interval;
    last = status;
    QString line = status.replay
        ? QStringLiteral("Replay of %1, frame %2 of %3%4: ")
              .arg(status.name)
              .arg(status.replayFrame)
              .arg(status.replayFrames)
              .arg(status.replayPass > 1 ? QStringLiteral(" (pass %1)").arg(status.replayPass)
                                         : QString())
        : status.name + ": ";
    line += QStringLiteral(
        "%1 frames/s, %2 frames, %3 rejected, %4 bytes dropped, %5 skipped by the display")
                .arg(rate, 0, 'f', 1)
                .arg(status.framesDecoded)
                .arg(status.framesRejected)
                .arg(status.bytesDropped)
                .arg(status.framesSkipped);
    if (extras.paused)
        line += QStringLiteral("; paused, %1 frames arrived since").arg(extras.arrivedWhilePaused);
    if (!extras.recordingPath.isEmpty())
        line += QStringLiteral("; recording %1: %2 frames")
                    .arg(extras.recordingPath)
                    .arg(extras.recordedFrames);
    else if (!extras.note.isEmpty())
        line += "; " + extras.note;
    return line;
}

// SPDX-License-Identifier: MIT
#include "statusline.h"

QString StatusLine::describe(const LinkStatus &status)
{
    const bool sameLink = last.name == status.name && status.seconds >= last.seconds
        && status.framesDecoded >= last.framesDecoded;
    const double interval = sameLink ? status.seconds - last.seconds : status.seconds;
    const uint64_t frames = sameLink ? status.framesDecoded - last.framesDecoded : status.framesDecoded;
    // Over less than a tenth of a second the rate says little: keep the last one.
    if (interval >= 0.1)
        rate = double(frames) / interval;
    last = status;
    return QStringLiteral("%1: %2 frames/s, %3 frames, %4 rejected, %5 bytes dropped, %6 skipped by the display")
        .arg(status.name)
        .arg(rate, 0, 'f', 1)
        .arg(status.framesDecoded)
        .arg(status.framesRejected)
        .arg(status.bytesDropped)
        .arg(status.framesSkipped);
}

// SPDX-License-Identifier: MIT
#include "statusline.h"

#include <QFileInfo>
#include <QStringList>

QString StatusLine::describe(const LinkStatus &status)
{
    return describe(status, Extras());
}

QString StatusLine::describe(const LinkStatus &status, const Extras &extras)
{
    const bool sameLink = link == status.name && !samples.empty()
        && status.seconds >= samples.back().seconds
        && status.framesDecoded >= samples.back().frames;
    if (!sameLink) {
        samples.clear();
        samples.push_back({0.0, 0});
        link = status.name;
    }
    samples.push_back({status.seconds, status.framesDecoded});
    while (samples.size() > 2 && samples.back().seconds - samples[1].seconds >= 4.0)
        samples.pop_front();
    // Between the first and the last arrival seen in the window: a slow board's frames fall between
    // refreshes, and counting from the window's edge would over- or under-count one of them.
    int first = -1, last = -1;
    for (size_t k = 1; k < samples.size(); ++k) {
        if (samples[k].frames != samples[k - 1].frames) {
            first = first < 0 ? int(k) : first;
            last = int(k);
        }
    }
    double rate = 0.0;
    if (first >= 0 && last > first)
        rate = double(samples[size_t(last)].frames - samples[size_t(first)].frames)
            / (samples[size_t(last)].seconds - samples[size_t(first)].seconds);
    else if (first >= 0)
        rate = double(samples.back().frames - samples.front().frames)
            / (samples.back().seconds - samples.front().seconds);
    // What the user did comes first, where a narrow window still shows it; the link's figures
    // after.
    QStringList parts;
    if (!extras.recordingPath.isEmpty())
        parts.append(QStringLiteral("Recording %1: %2 frames")
                         .arg(QFileInfo(extras.recordingPath).fileName())
                         .arg(extras.recordedFrames));
    else if (!extras.note.isEmpty())
        parts.append(extras.note);
    if (!extras.publishEndpoint.isEmpty())
        parts.append(QStringLiteral("Publishing on %1%2")
                         .arg(extras.publishEndpoint,
                             extras.unsentFrames > 0
                                 ? QStringLiteral(", %1 frames not sent").arg(extras.unsentFrames)
                                 : QString()));
    if (extras.paused)
        parts.append(
            QStringLiteral("Paused, %1 frames arrived since").arg(extras.arrivedWhilePaused));
    // The frame read last, numbered from 0 as the replay bar and the csv's frame column number it.
    QString link = status.replay
        ? QStringLiteral("Replay of %1, frame %2%3%4: ")
              .arg(QFileInfo(status.name).fileName())
              .arg(status.replayFrame > 0 ? QString::number(status.replayFrame - 1)
                                          : QStringLiteral("\u2013"))
              .arg(status.replayFrames > 0
                      ? QStringLiteral(" (0 to %1)").arg(status.replayFrames - 1)
                      : QString())
              .arg(status.replayPass > 1 ? QStringLiteral(" (pass %1)").arg(status.replayPass)
                                         : QString())
        : status.name + ": ";
    link += QStringLiteral(
        "%1 frames/s, %2 frames, %3 rejected, %4 bytes dropped, %5 skipped by the display")
                .arg(rate, 0, 'f', 1)
                .arg(status.framesDecoded)
                .arg(status.framesRejected)
                .arg(status.bytesDropped)
                .arg(status.framesSkipped);
    if (status.framesLost > 0) // a publisher read as the port: numbered, never arrived
        link += QStringLiteral(", %1 frames lost on the way").arg(status.framesLost);
    parts.append(link);
    const QString line = parts.join("; ");
    return line;
}

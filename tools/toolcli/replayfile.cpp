// SPDX-License-Identifier: MIT
#include "replayfile.h"

#include "capturereader.h"

bool readReplayFile(
    const QString &path, std::vector<QByteArray> *frames, QString *error, QString *remark)
{
    CaptureReader reader(path);
    RecordedFrame frame;
    while (reader.next(frame))
        frames->push_back(frame.bytes);
    if (reader.failed()) {
        *error = reader.errorString();
        return false;
    }
    remark->clear();
    if (reader.junkBytes() > 0)
        *remark
            = QStringLiteral("%1: %2 bytes hold no frame (%3 rejected frames); they are not sent")
                  .arg(reader.name())
                  .arg(reader.junkBytes())
                  .arg(reader.rejectedFrames());
    return true;
}

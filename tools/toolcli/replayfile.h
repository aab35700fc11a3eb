// SPDX-License-Identifier: MIT
// The frames of a recording, loaded whole for the simulator to send again.
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

// Reads every frame of `path` into *frames. False with *error set when the file cannot be read or
// holds no frame. *remark says how much junk was skipped, and stays empty when there was none.
bool readReplayFile(
    const QString &path, std::vector<QByteArray> *frames, QString *error, QString *remark);

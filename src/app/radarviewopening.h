// SPDX-License-Identifier: MIT
// --radar-view and --radar: the radar view opened beside the window, with a profile file or the
// one used last.
#pragma once

#include <QString>

#include <functional>

class LabInstrument;

// Opens the view; `profile` (may be empty) is put in force. A problem goes to `report`.
void openRadarView(
    LabInstrument &lab, const QString &profile, const std::function<void(const QString &)> &report);

// SPDX-License-Identifier: MIT
// The status bar's account of a link, refreshed a few times a second while a port is connected.
#pragma once

#include "serialport.h"

#include <QString>

class StatusLine
{
public:
    // "PORT: 11.2 frames/s, 1234 frames, 0 rejected, 0 bytes dropped, 0 skipped by the display".
    // The rate is taken over the time since the last call for the same link.
    QString describe(const LinkStatus &status);

private:
    LinkStatus last;
    double rate = 0;
};

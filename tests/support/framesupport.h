// SPDX-License-Identifier: MIT
// Test helpers: frames with known values, the record they must decode to, and a collector that
// receives frames on the test thread.
#pragma once

#include "frame.h"
#include "frameencoder.h"

#include <QList>
#include <QObject>

#include <cstdint>

class SerialPort;

// A frame whose first I sample carries `number`, so that order and loss can be checked.
FrameValues numberedFrame(int number, int samples, uint8_t mode, uint32_t seed = 1);

// The record the window must receive for `values`, written out from the plotting rules
// independently of the decoder.
frame_t expectedRecord(const FrameValues &values);

class FrameCollector : public QObject
{
    Q_OBJECT
public:
    QList<frame_t> frames;
    int readyCount = 0;
    int failureCount = 0;

    // Takes the worker's frames (queued, as the window does) and counts its result signals.
    void listenTo(SerialPort *worker);

public Q_SLOTS:
    void onFrame(const frame_t &frame) { frames.append(frame); }
    void onReady() { ++readyCount; }
    void onFailure() { ++failureCount; }
};

// SPDX-License-Identifier: MIT
// The board's serial line, in one place: the viewer, the capture tool, the simulator and every
// figure that turns bytes into seconds take it from here.
#pragma once

#include <QSerialPort>

namespace LineSettings {

constexpr int kBaudRate = 115200;
constexpr QSerialPort::DataBits kDataBits = QSerialPort::Data8;
constexpr QSerialPort::Parity kParity = QSerialPort::NoParity;
constexpr QSerialPort::StopBits kStopBits = QSerialPort::OneStop;
constexpr QSerialPort::FlowControl kFlowControl = QSerialPort::HardwareControl;
// One start bit, eight data bits, one stop bit: ten bit times a byte.
constexpr int kBitsPerByte = 10;
constexpr double kBytesPerSecond = double(kBaudRate) / kBitsPerByte;

// How long `bytes` take on the line, in seconds.
constexpr double secondsFor(double bytes)
{
    return bytes / kBytesPerSecond;
}

} // namespace LineSettings

// SPDX-License-Identifier: MIT
// The acquisition engine: owns the serial port and a worker thread that reads it, decodes the
// byte stream and publishes every frame with signalFrame.
#pragma once

#include "frame.h"
#include "framedecoder.h"
#include "framereceiver.h"

#include <QMutex>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QThread>

// Configures `port` with the board's line settings (115200 8N1 style: the rate given, 8 data bits,
// no parity, RTS/CTS, one stop bit) and opens it for reading and writing. The results of the
// settings are not looked at: only the open decides.
bool openWithLineSettings(QSerialPort &port, const QString &portName, int baudRate);

class SerialPort : public QObject
{
    Q_OBJECT

public:
    // The parent must be null: the worker moves itself to its own thread.
    explicit SerialPort(QObject *parent = nullptr);
    ~SerialPort() override;

    // Opens `portName` with the board's line settings and emits exactly one of
    // signalComPortReady or signalComPortFailure on the calling thread before returning.
    void openPort(const QString &portName, int baudRate);
    // Discards pending data and closes the port, if it is open.
    void closePort();

signals:
    void signalFrame(frame_t frame);
    void signalComPortReady();
    void signalComPortFailure();

private slots:
    void slotReadyRead();

private:
    bool openPortLocked(const QString &portName, int baudRate);
    void closePortLocked();
    void resetFrame();
    void onPortError(QSerialPort::SerialPortError error);
    // The port's socket notifiers belong to the worker thread, so every open, clear and close
    // runs there; the caller waits for it.
    template<typename Function>
    void runOnWorkerThread(Function &&function);

    FrameReceiver receiveBuffer;
    QSerialPort port;
    QThread workerThread;
    frame_t workingFrame;
    FrameDecoder decoder;
    QMutex workerMutex{QMutex::NonRecursive};
    // Counts opens, so that a close queued for a port that failed does not hit its successor.
    // Touched only on the worker thread.
    int openGeneration = 0;
};

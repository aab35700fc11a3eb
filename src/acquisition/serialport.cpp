// SPDX-License-Identifier: MIT
#include "serialport.h"

#include "linesettings.h"

#include <QMetaObject>
#include <QMutexLocker>

#include <algorithm>

bool openWithLineSettings(QSerialPort &port, const QString &portName, int baudRate)
{
    port.setPortName(portName);
    port.setBaudRate(baudRate, QSerialPort::AllDirections);
    port.setDataBits(LineSettings::kDataBits);
    port.setParity(LineSettings::kParity);
    port.setFlowControl(LineSettings::kFlowControl);
    port.setStopBits(LineSettings::kStopBits);
    return port.open(QIODevice::ReadWrite);
}

SerialPort::SerialPort(QObject *parent)
    : QObject(parent)
{
    moveToThread(&workerThread);
    port.moveToThread(&workerThread);
    workerThread.start(QThread::HighestPriority);
    connect(&port, &QSerialPort::readyRead, this, &SerialPort::slotReadyRead);
    connect(&port, &QSerialPort::errorOccurred, this, &SerialPort::onPortError);
}

SerialPort::~SerialPort()
{
    // The port is closed on its own thread while that thread still runs its loop; only then is
    // the thread stopped. Nothing here can wait on the worker mutex held by a dead thread.
    closePort();
    workerThread.quit();
    if (!workerThread.wait(200)) {
        workerThread.terminate();
        workerThread.wait(200);
    }
    resetFrame();
}

template<typename Function>
void SerialPort::runOnWorkerThread(Function &&function)
{
    if (QThread::currentThread() == &workerThread || !workerThread.isRunning()) {
        function();
        return;
    }
    QMetaObject::invokeMethod(this, std::forward<Function>(function),
                              Qt::BlockingQueuedConnection);
}

void SerialPort::openPort(const QString &portName, int baudRate)
{
    bool opened = false;
    runOnWorkerThread([&] {
        QMutexLocker lock(&workerMutex);
        opened = openPortLocked(portName, baudRate);
    });
    // Emitted without the lock and on the caller's thread: a receiver may show a modal box here
    // while the worker goes on reading.
    if (opened)
        emit signalComPortReady();
    else
        emit signalComPortFailure();
}

void SerialPort::closePort()
{
    runOnWorkerThread([this] {
        QMutexLocker lock(&workerMutex);
        closePortLocked();
    });
}

bool SerialPort::openPortLocked(const QString &portName, int baudRate)
{
    if (port.isOpen())
        port.close();
    ++openGeneration;
    return openWithLineSettings(port, portName, baudRate);
}

void SerialPort::closePortLocked()
{
    if (!port.isOpen())
        return;
    port.clear(QSerialPort::AllDirections);
    port.close();
}

void SerialPort::resetFrame()
{
    ::resetFrame(workingFrame);
}

void SerialPort::addTap(FrameTap *tap)
{
    QMutexLocker lock(&tapMutex);
    taps.push_back(tap);
}

void SerialPort::removeTap(FrameTap *tap)
{
    QMutexLocker lock(&tapMutex);
    taps.erase(std::remove(taps.begin(), taps.end(), tap), taps.end());
}

LinkStatus SerialPort::status() const
{
    QMutexLocker lock(&statusMutex);
    LinkStatus status = published;
    if (status.open && linkClock.isValid())
        status.seconds = linkClock.nsecsElapsed() / 1e9;
    return status;
}

void SerialPort::slotReadyRead()
{
    QMutexLocker lock(&workerMutex);
    const QByteArray bytes = port.readAll();
    const double seconds = linkClock.isValid() ? linkClock.nsecsElapsed() / 1e9 : 0.0;
    QMutexLocker tapLock(&tapMutex);
    receiveBuffer.receive(bytes.constData(), bytes.size(), decoder, workingFrame,
                          [this, seconds](const frame_t &record, const char *frameBytes, int length) {
                              for (FrameTap *tap : taps)
                                  tap->frameDecoded(record, frameBytes, length, seconds);
                              emit signalFrame(record);
                          });
}

void SerialPort::onPortError(QSerialPort::SerialPortError error)
{
    // A hung-up tty (the adapter pulled, the other end of a pseudo-terminal closed) reports a read
    // error and leaves its read notifier on, which would spin this thread until the port is
    // closed. Close it from the event loop, not from inside the port's own notification.
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
        return;
    const int generation = openGeneration;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            QMutexLocker lock(&workerMutex);
            if (generation == openGeneration)
                closePortLocked();
        },
        Qt::QueuedConnection);
}

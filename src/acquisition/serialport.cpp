// SPDX-License-Identifier: MIT
#include "serialport.h"

#include "linesettings.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QMutexLocker>

#include <algorithm>

namespace {

// The line counts as quiet after 20 ms without a byte: at 115200 baud that is 230 bytes, two
// frames of 24 samples. A board streaming back to back never leaves such a gap between reads (USB
// adapters hand over what they hold at least every 16 ms), so the gate still holds while bytes
// keep coming, and a paused board's last frames are decoded 20 ms after their last byte.
constexpr int kQuietMs = 20;
// A board does not pause half-way through a frame for half a second: a candidate still arriving
// after that, with a complete frame inside it, was a false header.
constexpr int kLongQuietMs = 500;

// The errors by which the serial layer reports a device that has gone: a hung-up tty reads an
// error, Windows reports a pulled adapter as a permission or resource error, a reset board can
// leave the device node missing.
bool isLostLine(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
    case QSerialPort::PermissionError:
    case QSerialPort::DeviceNotFoundError:
        return true;
    default:
        return false;
    }
}

// The system's words for a vanished device ("Inappropriate ioctl for device", "Resource
// temporarily unavailable") say little to a user and mislead; they travel beside plain ones.
QString lostLineReason(QSerialPort::SerialPortError error)
{
    return QString::fromLatin1(error == QSerialPort::DeviceNotFoundError ? "the device is gone"
            : error == QSerialPort::PermissionError
            ? "access to the device was withdrawn (unplugged?)"
            : "the device hung up (unplugged, reset or switched off)");
}

// Identities waiting for a receiver that never takes them (one that is not the window) are few:
// at most one a link is on its way. Beyond this many the oldest are forgotten.
constexpr size_t kMaxIdentities = 64;

} // namespace

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
    quietTimer.setSingleShot(true);
    quietTimer.setTimerType(Qt::PreciseTimer);
    sourceTimer.setSingleShot(true);
    sourceTimer.setTimerType(Qt::PreciseTimer);
    moveToThread(&workerThread);
    port.moveToThread(&workerThread);
    network.moveToThread(&workerThread);
    quietTimer.moveToThread(&workerThread);
    sourceTimer.moveToThread(&workerThread);
    workerThread.start(QThread::HighestPriority);
    connect(&port, &QSerialPort::readyRead, this, &SerialPort::slotReadyRead);
    connect(&port, &QSerialPort::errorOccurred, this, &SerialPort::onPortError);
    connect(&network, &NetworkLink::readyRead, this, &SerialPort::slotReadyRead);
    connect(&network, &NetworkLink::lost, this, &SerialPort::onNetworkLost);
    connect(&quietTimer, &QTimer::timeout, this, &SerialPort::onQuiet);
    connect(&sourceTimer, &QTimer::timeout, this, &SerialPort::pumpSource);
}

SerialPort::~SerialPort()
{
    // The port is closed on its own thread while that thread still runs its loop; only then is
    // the thread stopped. Nothing here can wait on the worker mutex held by a dead thread.
    runOnWorkerThread([this] {
        QMutexLocker lock(&workerMutex);
        closePortLocked(true);
        quietTimer.stop();
        source.reset();
    });
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

void SerialPort::openSource(std::unique_ptr<ByteSource> replay)
{
    runOnWorkerThread([&] {
        QMutexLocker lock(&workerMutex);
        startClean();
        source = std::move(replay);
        startLink(LinkOpening{source->name(), source->keptRadarProfile()});
        sourceTimer.start(0);
    });
    emit signalComPortReady();
}

void SerialPort::moveReplay(int64_t frame, bool play)
{
    QMetaObject::invokeMethod(
        this,
        [this, frame, play] {
            QMutexLocker lock(&workerMutex);
            if (!source || !source->canMove())
                return;
            if (frame >= 0) {
                // The frames before the move end here: whole ones go out, the start of the next
                // one is passed over as the user asked (not dropped: the file holds it whole),
                // and a frame waiting for the display is one of theirs.
                flushLocked(FrameReceiver::Flush::Quiet);
                receiveBuffer.forget();
                resetFrame();
                quietTimer.stop();
                if (framePending)
                    ++framesSkipped;
                framePending = false;
            }
            const uint64_t offset = source->moveTo(frame, play);
            if (frame >= 0) {
                // The frames that follow keep their place and time in the recording.
                passStart = receiveBuffer.stats().bytesReceived - offset;
                framesBeforePass = int64_t(receiveBuffer.stats().framesDecoded) - frame;
            }
            publishStatus();
            sourceTimer.start(0);
        },
        Qt::QueuedConnection);
}

void SerialPort::setReplayFramesPerSecond(double framesPerSecond)
{
    QMetaObject::invokeMethod(
        this,
        [this, framesPerSecond] {
            QMutexLocker lock(&workerMutex);
            if (!source)
                return;
            source->setFramesPerSecond(framesPerSecond);
            sourceTimer.start(0);
        },
        Qt::QueuedConnection);
}

void SerialPort::pumpSource()
{
    bool finished = false;
    {
        QMutexLocker lock(&workerMutex);
        if (!source)
            return;
        // A bounded helping per turn of the event loop, so that a replay at full speed still lets
        // the worker answer a close at once.
        QByteArray bytes;
        const int wait = source->read(bytes, 64 * 1024);
        receiveLocked(bytes.constData(), bytes.size());
        if (wait >= 0) {
            sourceTimer.start(wait);
            if (!bytes.isEmpty() && !receiveBuffer.buffer().isEmpty()) {
                longQuiet = false;
                quietTimer.start(kQuietMs);
            }
        } else {
            // The end of a pass is the end of its input: nothing of it joins the next pass.
            endOfLineLocked();
            if (source->nextPass()) {
                passStart = receiveBuffer.stats().bytesReceived;
                framesBeforePass = int64_t(receiveBuffer.stats().framesDecoded);
                ++pass;
                sourceTimer.start(0);
            } else {
                finished = true;
                closePortLocked();
            }
        }
        publishStatus();
    }
    if (finished)
        emit signalReplayFinished();
}

bool SerialPort::openPortLocked(const QString &portName, int baudRate)
{
    startClean();
    const bool networked = NetworkLink::isNetworkName(portName);
    if (networked ? !network.open(portName, uint32_t(baudRate))
                  : !openWithLineSettings(port, portName, baudRate)) {
        QString reason = networked ? network.errorString() : port.errorString();
        // The serial library's words for a file or a folder ("inappropriate ioctl for device")
        // do not say what went wrong: a recording given where a port belongs. Like the library's
        // words, the reason leaves the name out: whoever says it names the port first.
        const QFileInfo path(portName);
        if (!networked && portName.contains(QLatin1Char('/')) && path.exists()
            && (path.isFile() || path.isDir()))
            reason
                = QStringLiteral("a %1, not a serial port (a recording is replayed with --replay)")
                      .arg(path.isDir() ? QStringLiteral("folder") : QStringLiteral("file"));
        QMutexLocker lock(&statusMutex);
        openError = reason;
        return false;
    }
    startLink(LinkOpening{portName, QByteArray()});
    return true;
}

void SerialPort::startClean()
{
    if (port.isOpen() || network.isOpen() || source)
        closePortLocked();
    ++openGeneration;
    // Nothing of the previous line may appear as this one's.
    receiveBuffer = FrameReceiver();
    resetFrame();
    frameInFlight = false;
    framePending = false;
    framesSkipped = 0;
    passStart = 0;
    framesBeforePass = 0;
    pass = 1;
}

void SerialPort::closePortLocked(bool quietly)
{
    if (source) {
        // A replay stopped half-way: what arrived whole still goes out, as for a port.
        if (!quietly)
            endOfLineLocked();
        sourceTimer.stop();
        source.reset();
        endLink();
        return;
    }
    const bool networked = network.isOpen();
    if (!port.isOpen() && !networked)
        return;
    // Frames that arrived whole before the close are the line's and go out, to the taps too; what
    // is left of a frame still arriving is dropped with the line.
    if (!quietly) {
        const QByteArray last = networked ? network.readAll() : port.readAll();
        receiveLocked(last.constData(), last.size());
        endOfLineLocked();
    }
    if (networked) {
        // A publisher's count of frames lost goes with its feed: the link's last figures keep it.
        const uint64_t lost = network.framesLost();
        network.close();
        QMutexLocker lock(&statusMutex);
        published.framesLost = lost;
    } else {
        // Only the output is discarded. Bytes still waiting in the driver were never read:
        // flushing them would make a sender that watches its line believe they were, and the
        // device drops them with its last close anyway.
        port.clear(QSerialPort::Output);
        port.close();
    }
    endLink();
}

void SerialPort::endOfLineLocked()
{
    flushLocked(FrameReceiver::Flush::EndOfInput);
    // The last few bytes, too short to start a frame, go with the line.
    receiveBuffer.discard();
    resetFrame();
    quietTimer.stop();
}

void SerialPort::startLink(const LinkOpening &link)
{
    linkClock.start();
    longQuiet = false;
    {
        QMutexLocker lock(&statusMutex);
        published = LinkStatus();
        published.link = openGeneration;
        published.name = link.name;
        published.open = true;
        published.replay = source != nullptr;
        published.replayFrames = source ? source->framesPerPass() : 0;
    }
    QMutexLocker lock(&tapMutex);
    for (FrameTap *tap : taps)
        tap->linkOpened(link);
}

void SerialPort::endLink()
{
    quietTimer.stop();
    receiveBuffer.discard();
    resetFrame();
    publishStatus();
    {
        QMutexLocker lock(&statusMutex);
        published.open = false;
        published.seconds = linkClock.isValid() ? linkClock.nsecsElapsed() / 1e9 : 0.0;
    }
    QMutexLocker lock(&tapMutex);
    for (FrameTap *tap : taps)
        tap->linkClosed();
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

QString SerialPort::openErrorString() const
{
    QMutexLocker lock(&statusMutex);
    return openError;
}

void SerialPort::publishStatus()
{
    const FrameReceiver::Stats &stats = receiveBuffer.stats();
    QMutexLocker lock(&statusMutex);
    published.bytesReceived = stats.bytesReceived;
    published.framesDecoded = stats.framesDecoded;
    published.framesRejected = stats.framesRejected;
    published.bytesDropped = stats.bytesDropped;
    if (network.isOpen())
        published.framesLost = network.framesLost();
    published.framesSkipped = framesSkipped;
    published.replayFrame = int64_t(stats.framesDecoded) - framesBeforePass;
    published.replayPass = pass;
    if (source)
        published.replayFrames = source->framesPerPass(); // known once the index is whole
    lock.unlock();
    QMutexLocker tapLock(&tapMutex);
    for (FrameTap *tap : taps)
        tap->statusPublished();
}

void SerialPort::setPacedDelivery(bool on)
{
    paced = on;
}

void SerialPort::frameHandled(int link)
{
    QMetaObject::invokeMethod(
        this, [this, link] { deliverNext(link); }, Qt::QueuedConnection);
}

FrameIdentity SerialPort::takeFrameIdentity()
{
    QMutexLocker lock(&statusMutex);
    if (onTheirWay.empty())
        return FrameIdentity();
    FrameIdentity identity = std::move(onTheirWay.front());
    onTheirWay.pop_front();
    return identity;
}

void SerialPort::deliverNext(int link)
{
    QMutexLocker lock(&workerMutex);
    // The answer for a frame of a link closed since: this link's frame on its way is another one.
    if (link != openGeneration)
        return;
    frameInFlight = false;
    if (!framePending)
        return;
    framePending = false;
    frameInFlight = true;
    emitFrame(pendingFrame, std::move(pendingIdentity));
    ::resetFrame(pendingFrame);
}

void SerialPort::emitFrame(const frame_t &record, FrameIdentity identity)
{
    {
        QMutexLocker lock(&statusMutex);
        onTheirWay.push_back(std::move(identity));
        if (onTheirWay.size() > kMaxIdentities)
            onTheirWay.pop_front();
    }
    emit signalFrame(record);
}

void SerialPort::deliver(const frame_t &record, const char *frameBytes, int length)
{
    // A replayed frame keeps its time and place in the recording; a live one is stamped on arrival
    // and numbered in its link.
    const double seconds = source
        ? source->secondsAt(receiveBuffer.streamOffset(frameBytes) + uint64_t(length) - passStart)
        : (linkClock.isValid() ? linkClock.nsecsElapsed() / 1e9 : 0.0);
    const int64_t index = int64_t(receiveBuffer.stats().framesDecoded) - 1 - framesBeforePass;
    for (FrameTap *tap : taps)
        tap->frameDecoded(record, frameBytes, length, seconds);
    if (!paced) {
        emit signalFrame(record);
        return;
    }
    FrameIdentity identity{QByteArray(frameBytes, length), openGeneration, index, seconds};
    if (!frameInFlight) {
        frameInFlight = true;
        emitFrame(record, std::move(identity));
        return;
    }
    // The receiver is still busy with the last frame: this one waits, replacing one that was
    // already waiting. The display always gets the newest frame and never falls further behind.
    if (framePending)
        ++framesSkipped;
    pendingFrame = record;
    pendingIdentity = std::move(identity);
    framePending = true;
}

void SerialPort::receiveLocked(const char *data, int length)
{
    QMutexLocker tapLock(&tapMutex);
    receiveBuffer.receive(data, length, decoder, workingFrame,
                          [this](const frame_t &record, const char *frameBytes, int frameLength) {
                              deliver(record, frameBytes, frameLength);
                          });
}

void SerialPort::flushLocked(FrameReceiver::Flush mode)
{
    QMutexLocker tapLock(&tapMutex);
    receiveBuffer.flush(decoder, workingFrame,
                        [this](const frame_t &record, const char *frameBytes, int frameLength) {
                            deliver(record, frameBytes, frameLength);
                        },
                        mode);
}

void SerialPort::slotReadyRead()
{
    QMutexLocker lock(&workerMutex);
    const QByteArray bytes = network.isOpen() ? network.readAll() : port.readAll();
    receiveLocked(bytes.constData(), bytes.size());
    publishStatus();
    // Whatever stays buffered is decoded once the line has been quiet for a moment.
    if (!receiveBuffer.buffer().isEmpty()) {
        longQuiet = false;
        quietTimer.start(kQuietMs);
    }
}

void SerialPort::onQuiet()
{
    QMutexLocker lock(&workerMutex);
    if (!port.isOpen() && !network.isOpen() && !source)
        return;
    flushLocked(longQuiet ? FrameReceiver::Flush::LongQuiet : FrameReceiver::Flush::Quiet);
    publishStatus();
    if (!longQuiet && receiveBuffer.isWaiting()) {
        longQuiet = true;
        quietTimer.start(kLongQuietMs - kQuietMs);
    }
}

void SerialPort::onPortError(QSerialPort::SerialPortError error)
{
    // A hung-up tty (the adapter pulled, the other end of a pseudo-terminal closed) reports a read
    // error and leaves its read notifier on, which would spin this thread until the port is
    // closed. Close it from the event loop, not from inside the port's own notification. Errors
    // while opening are the open's to report.
    if (!isLostLine(error) || !port.isOpen())
        return;
    const int generation = openGeneration;
    QMetaObject::invokeMethod(
        this,
        [this, generation, error] {
            QString systemWords;
            {
                QMutexLocker lock(&workerMutex);
                if (generation != openGeneration || !port.isOpen())
                    return;
                systemWords = port.errorString();
                // What arrived whole before the line went goes out; the port is closed without
                // touching the dead device again.
                endOfLineLocked();
                port.close();
                endLink();
            }
            emit signalComPortLost(lostLineReason(error), systemWords);
        },
        Qt::QueuedConnection);
}

void SerialPort::onNetworkLost(const QString &reason)
{
    // As for a hung-up tty: closed from the event loop, not from inside the socket's notification,
    // and only if the connection that went is still the open one.
    const int generation = openGeneration;
    QMetaObject::invokeMethod(
        this,
        [this, generation, reason] {
            {
                QMutexLocker lock(&workerMutex);
                if (generation != openGeneration || !network.isOpen())
                    return;
                closePortLocked();
            }
            emit signalComPortLost(reason, QString());
        },
        Qt::QueuedConnection);
}

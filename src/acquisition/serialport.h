// SPDX-License-Identifier: MIT
// The acquisition engine: owns the serial port and a worker thread that reads it, decodes the
// byte stream and publishes every frame with signalFrame.
#pragma once

#include "bytesource.h"
#include "frame.h"
#include "framedecoder.h"
#include "framereceiver.h"
#include "linesettings.h"
#include "networklink.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

// A link as the taps hear of it when it opens.
struct LinkOpening {
    QString name; // the port, or the replayed recording
    // The radar profile a replayed recording keeps inside it, as its source read it before the link
    // opened (ByteSource::keptRadarProfile); empty when it keeps none. Taps are called under the
    // worker's locks, where no file library may be waited on: they never read the recording
    // themselves.
    QByteArray keptRadarProfile;
};

// Sees every decoded frame as it is decoded, on the worker thread, in stream order, whether or not
// the display shows it: recorders and the spectrum history. Calls must return quickly, must not
// wait for the GUI thread and must not call back into the SerialPort.
class FrameTap
{
public:
    virtual ~FrameTap() = default;
    // `seconds`: when the frame's last byte arrived, counted from the opening of the link (for a
    // replay, the frame's time in the recording).
    virtual void frameDecoded(const frame_t &record, const char *frameBytes, int length, double seconds) = 0;
    // The link opened (times start again at 0), or closed or went away.
    virtual void linkOpened(const LinkOpening &link) { Q_UNUSED(link) }
    virtual void linkClosed() {}
    // The link's figures (status()) were just published: a tap that shows figures of its own takes
    // them now, so that both speak of the same frames.
    virtual void statusPublished() {}
};

// A snapshot of the link's health, for the status bar.
struct LinkStatus
{
    QString name;  // port (or replayed file); empty when nothing was opened yet
    bool open = false;
    double seconds = 0; // since the link opened
    uint64_t bytesReceived = 0;
    uint64_t framesDecoded = 0;
    uint64_t framesRejected = 0; // well-framed, but a bad mode byte or checksum
    uint64_t bytesDropped = 0;   // bytes that were part of no frame
    uint64_t framesSkipped = 0;  // decoded, but replaced by a newer one before the display took it
    uint64_t framesLost = 0;     // a publisher's frames that never arrived (zmq+tcp://)
    bool replay = false;         // the bytes come from a recording played back
    int64_t replayFrame = 0;     // frames of the current pass decoded so far
    int64_t replayFrames = 0;    // frames in a pass (0: not known yet)
    int replayPass = 1;
    int link = 0; // counts the links opened: which one these figures are of
};

// Who a frame on its way to the display is: its own wire bytes, the link it came from, and where it
// stands in that link (index and time as a recording of the whole link would write them).
struct FrameIdentity {
    QByteArray bytes;
    int link = -1; // -1: no frame of the worker's (a record handed to the window by other means)
    int64_t index = 0;
    double seconds = 0;
};

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
    // Discards pending data and closes the port, if it is open; ends a replay.
    void closePort();
    // Plays `source` through the receive rules instead of a port: closes what is open, then emits
    // signalComPortReady. When the source is spent the link closes and signalReplayFinished follows.
    void openSource(std::unique_ptr<ByteSource> source);
    // For a replay whose source can move (ByteSource::canMove): frame `frame` comes next (-1: where
    // it is), played on or held (then that frame alone is shown). What the receiver still holds of
    // the frames before the move goes out first; nothing of them is mixed with what follows.
    // Callable from any thread; runs on the worker's.
    void moveReplay(int64_t frame, bool play);
    void setReplayFramesPerSecond(double framesPerSecond);

    // Taps are called for every decoded frame; removeTap returns once the tap is no longer called.
    // Both may be called from any thread but the worker's own.
    void addTap(FrameTap *tap);
    void removeTap(FrameTap *tap);

    LinkStatus status() const;
    // Why the last openPort failed, in the serial layer's words.
    QString openErrorString() const;

    // For a receiver that shows frames and may fall behind (the window): at most one signalFrame
    // of a link is on its way at a time. A frame decoded meanwhile waits, and a newer one replaces
    // it; the replaced ones are counted as skipped. Taps still see every frame. Off by default:
    // every frame is emitted.
    // The receiver takes each frame's identity with takeFrameIdentity() as it handles the frame
    // (signals arrive in the order they were sent, and so do the identities), and calls
    // frameHandled() with the identity's link when it is done; a link closed since is not answered.
    void setPacedDelivery(bool paced);
    FrameIdentity takeFrameIdentity();
    void frameHandled(int link);

signals:
    void signalFrame(frame_t frame);
    void signalComPortReady();
    void signalComPortFailure();
    // The open port went away (adapter pulled, device reset): it has been closed. `reason` says it
    // in plain words, `systemWords` as the serial layer put it (may be empty).
    void signalComPortLost(const QString &reason, const QString &systemWords);
    // A replay has played its last pass; the link is closed.
    void signalReplayFinished();

private slots:
    void slotReadyRead();

private:
    bool openPortLocked(const QString &portName, int baudRate);
    // Closes what is open and forgets what the previous link left.
    void startClean();
    // Frames complete in the buffer go out first unless `quietly` (teardown emits nothing).
    void closePortLocked(bool quietly = false);
    // No more bytes can come from this line or pass: every complete frame left goes out, a frame
    // that never arrived whole was none, and nothing is carried over to what comes next.
    void endOfLineLocked();
    void resetFrame();
    void onPortError(QSerialPort::SerialPortError error);
    void onNetworkLost(const QString &reason);
    void onQuiet();
    void pumpSource();
    void receiveLocked(const char *data, int length);
    void flushLocked(FrameReceiver::Flush mode);
    void deliver(const frame_t &record, const char *frameBytes, int length);
    void deliverNext(int link);
    void emitFrame(const frame_t &record, FrameIdentity identity);
    void startLink(const LinkOpening &link);
    void endLink();
    void publishStatus();
    // The port's socket notifiers belong to the worker thread, so every open, clear and close
    // runs there; the caller waits for it.
    template<typename Function>
    void runOnWorkerThread(Function &&function);

    FrameReceiver receiveBuffer;
    QSerialPort port;
    // In place of the port for a socket:// or rfc2217:// name.
    NetworkLink network;
    QThread workerThread;
    frame_t workingFrame;
    FrameDecoder decoder;
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QMutex workerMutex{QMutex::NonRecursive};
#else
    QMutex workerMutex; // never recursive in Qt 6
#endif
    // The line counts as quiet when nothing has come for this long; see serialport.cpp.
    QTimer quietTimer;
    bool longQuiet = false;
    std::atomic<bool> paced {false};
    bool frameInFlight = false;
    bool framePending = false;
    frame_t pendingFrame;
    FrameIdentity pendingIdentity;
    // The identities of the frames emitted and not yet taken, oldest first; under statusMutex.
    std::deque<FrameIdentity> onTheirWay;
    uint64_t framesSkipped = 0;
    QString openError;
    // A replay in place of the port, its timer, and where its current pass began in the stream.
    std::unique_ptr<ByteSource> source;
    QTimer sourceTimer;
    uint64_t passStart = 0;
    int64_t framesBeforePass = 0;
    int pass = 1;
    // The taps have a lock of their own: adding or removing one never waits for a read.
    mutable QMutex tapMutex;
    std::vector<FrameTap *> taps;
    QElapsedTimer linkClock;
    // A copy of the link's figures for other threads, refreshed after every read.
    mutable QMutex statusMutex;
    LinkStatus published;
    // Counts opens, so that a close queued for a port that failed does not hit its successor.
    // Touched only on the worker thread.
    int openGeneration = 0;
};

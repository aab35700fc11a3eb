// SPDX-License-Identifier: MIT
// Every decoded frame, out to the user's own programs while the viewer or a capture has the port:
// a ZeroMQ PUB socket on tcp://HOST:PORT or ipc://PATH. Multipart messages, the topic first:
//   frame    JSON {"seq","time_s","mode","byte3","n","source","link"}, then I (n int16), Q (n
//            int16) and S (n int32), little-endian
//   raw      JSON {"seq","time_s","link"}, then the frame's 8n + 7 bytes as they came from the line
//   targets  JSON {"seq","time_s","mode","targets":[...]} while a radar profile is set
//   status   JSON {"event": "opened" | "closed" | "lost" | "figures" | "stopped", ...}; "figures"
//            once a second: the link's frames, rejected frames and dropped bytes, the frames
//            published and those that could not be sent
// `seq` counts the publisher's frames from 0 without gaps; `link` counts the links it has seen.
//
// The tap only copies the frame's bytes into a bounded queue; a thread of its own makes and sends
// the messages. A full queue drops whole frames (counted as unsent); ZeroMQ drops whole messages
// for a subscriber that does not keep up, never part of one, and never waits for it. The socket
// only sends: nothing a subscriber does reaches the board.
#pragma once

#include "serialport.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class LivePublisher : public FrameTap {
public:
    // Frames and events waiting for the sending thread; beyond it a frame is not published.
    static constexpr size_t kQueueLength = 8192;
    // Messages ZeroMQ keeps for each subscriber that does not read (whole ones are dropped beyond
    // it); at the largest frames about 4 MiB.
    static constexpr int kSendHighWaterMark = 2000;

    LivePublisher();
    // Says "stopped" to the subscribers and closes the socket; the tap must be removed first.
    ~LivePublisher() override;

    // tcp://HOST:PORT (HOST an address, a name or *) or ipc://PATH; false with the expected form.
    static bool isWellFormedEndpoint(const QString &endpoint, QString *error);
    // Binds the socket and starts the sending thread. False with a message naming the endpoint
    // when it is malformed or cannot be bound (in use, no such address).
    bool start(const QString &endpoint, QString *error);
    // What the socket is bound to (a tcp port given as * resolved); empty before start().
    QString endpoint() const { return boundEndpoint; }

    // These may be called from any thread.
    // The "source" of the frame messages (a port, a recording).
    void setSourceName(const QString &name);
    // A radar profile's JSON: from now on each frame's targets are published too. Empty: none.
    // False with *error when the profile cannot be read (the targets then stay off).
    // `origin` names the profile in the message (its file).
    bool setRadarProfile(const QByteArray &json, QString *error,
        const QString &origin = QStringLiteral("the radar profile"));
    // The link's own figures for the once-a-second status: frames decoded (also those before
    // publishing began), rejected frames and dropped bytes. Until they are given, the frames
    // published of the link are counted.
    void setLinkFigures(uint64_t framesDecoded, uint64_t framesRejected, uint64_t bytesDropped);
    // The link went away unasked: a "lost" status with the reason follows its "closed".
    void linkLost(const QString &reason);

    uint64_t published() const { return nextSeq.load(); } // frames numbered so far
    uint64_t unsent() const { return framesUnsent.load(); } // of them, never handed to ZeroMQ
    // Messages of every kind handed to ZeroMQ.
    uint64_t messagesSent() const { return messagesOut.load(); }

    // FrameTap, on the worker's thread: never waits for the sending thread.
    void frameDecoded(
        const frame_t &record, const char *frameBytes, int length, double seconds) override;
    void linkOpened(const LinkOpening &link) override;
    void linkClosed() override;

private:
    struct Item {
        enum class Kind { Frame, Status } kind = Kind::Frame;
        uint64_t seq = 0;
        int link = 0;
        double seconds = 0.0;
        QByteArray bytes; // the frame's wire bytes, or the status JSON
    };
    struct Sender;

    // Puts an item in the queue unless it is full; false when it was dropped.
    bool enqueue(Item &&item);
    void queueStatus(const QByteArray &json);
    void run();

    std::unique_ptr<Sender> sender;
    QString boundEndpoint;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Item> queue;
    bool running = false; // under mutex: the sending thread takes items
    bool stopping = false;
    QString sourceName; // under mutex
    int link = 0; // the worker's; read by the sender with the items
    uint64_t linkFrames = 0; // frames of the current link, the worker's
    bool linkOpen = false;
    std::atomic<uint64_t> nextSeq{0};
    std::atomic<uint64_t> framesUnsent{0};
    std::atomic<uint64_t> messagesOut{0};
    std::atomic<uint64_t> rejected{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> framesOfLink{0};
    std::atomic<uint64_t> decoded{0}; // the link's own count, as its owner gives it
    std::atomic<int> currentLink{0};
    std::atomic<bool> currentlyOpen{false};
};

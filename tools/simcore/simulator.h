// SPDX-License-Identifier: MIT
// The board in software: streams frames into a pseudo-terminal or a serial device, paced like the
// real line, with faults on demand. Used by vazorez-sim and, in-process, by vazorez-demo.
#pragma once

#include "boardmodel.h"
#include "faultinjector.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

class QCommandLineOption;
class QCommandLineParser;

struct SimulatorOptions
{
    enum class Rate { Line, Fixed, Max };

    QString device; // empty: a new pseudo-terminal
    QString replayFile;
    SimMode mode = SimMode::Cw;
    int samples = 128;
    int64_t count = -1; // -1: until stopped
    uint32_t seed = 1;
    Rate rate = Rate::Line;
    double framesPerSecond = 0.0; // for Rate::Fixed
    FaultRates faults;
    // --radar and --target: frames made from a radar scene instead of the built-in target.
    bool radarScene = false;
    RadarProfile radar;
    std::vector<SimTarget> targets;
    // --scene: targets that come, go and move (with --radar only); --target ones are numbered
    // after them in the truth.
    QString sceneFile;
    SimScene scene;
    QString truthFile; // --truth: where each frame's targets go as csv rows
    // --iq-imbalance, --dc, --dc-drift and --clutter: what the front end adds (with --radar only).
    SimFrontEnd frontEnd;
    QStringList warnings; // about the profile and the scene, for the user
};

// The options vazorez-sim and vazorez-demo share; returns them, for the programs' help.
QList<QCommandLineOption> addSimulatorOptions(QCommandLineParser &parser, bool withDevice);
// Reads them back (all but --device); on a bad value sets a one-line `error` and returns false.
bool readSimulatorOptions(const QCommandLineParser &parser, SimulatorOptions &options, QString *error);

class Simulator
{
public:
    // How long the end of a stream waits for a reader that takes nothing before it gives up on
    // the bytes still in the line.
    static constexpr int kDrainTimeoutMs = 5000;

    struct Stats
    {
        int64_t frames = 0;  // frames the reader took whole, broken ones included
        int64_t bytes = 0;   // bytes the reader took, junk included
        int64_t faulty = 0;  // frames broken on purpose
        int64_t dropped = 0; // frames not written because nobody read the line
        int64_t unreadFrames = 0; // frames written but still in the line when it closed
        int64_t unreadBytes = 0;
    };

    explicit Simulator(const SimulatorOptions &options);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // The frames --replay sends, in order, instead of synthetic ones.
    void setReplayFrames(std::vector<QByteArray> frames);
    // Writes the truth of every frame made from now on to `path` as csv: a header, then a row
    // per target in view per frame, dropped and broken frames included (the frame's index tells
    // them). False with a one-line `error` when the path is not a regular file or cannot be
    // written. The rows are flushed when the stream ends, however it ends.
    bool openTruth(const QString &path, QString *error);
    // Why the truth file could not be written (the stream ended there), empty when it was.
    QString truthError() const { return truthFailure; }
    // Opens a new pseudo-terminal and reports the path the viewer opens.
    bool openPseudoTerminal(QString *slavePath, QString *error);
    // Opens an existing serial device with the viewer's line settings.
    bool openDevice(const QString &path, QString *error);

    // Streams until the count is reached, the replay ends or `stopRequested` says so (it is
    // polled at least every 100 ms). `notice` receives one-line remarks (a reader that stopped).
    // A replay, a counted stream and an unpaced one wait for a reader to open the pseudo-terminal
    // before the first frame, asleep; a count of 0 ends at once. A stream that ends by itself then
    // waits until the reader has taken every byte (giving up after kDrainTimeoutMs in which it
    // takes none), so that closing the line discards nothing; what was never read is not counted
    // as sent.
    void run(const std::function<bool()> &stopRequested,
             const std::function<void(const QString &)> &notice = {});

    const Stats &stats() const { return counters; }
    QString summary() const;
    // The whole run's spells without a reader, exact: "in all nobody read the line for 12.3 s in
    // 400 spells, 5120 frames dropped"; empty when nothing was dropped.
    QString droppedSummary() const;

private:
    bool nextSlot(QByteArray &slot, bool *faulty);
    bool drain();
    bool waitWritable(int timeoutMs);
    bool waitForReader(const std::function<bool()> &stopRequested);
    int64_t bytesInLine() const;
    int64_t takeUnread();
    void waitUntilRead(const std::function<bool()> &stopRequested);
    void uncountUnread(int64_t unread);

    SimulatorOptions options;
    BoardModel model;
    FaultInjector faults;
    std::vector<QByteArray> replayFrames;
    QFile truth;
    QString truthFailure;
    int64_t index = 0;
    int fd = -1;
    int heldSlaveFd = -1; // keeps a pseudo-terminal's line up while no viewer has it open
    QByteArray slavePath;
    // Where each recent frame ends in the stream, and whether it was broken: the frames still in
    // the line when it closes are found from these.
    struct Written
    {
        int64_t end;
        bool faulty;
    };
    std::deque<Written> recent;
    int64_t bytesWritten = 0;
    QByteArray pending;   // the slot being written; a frame once started is always finished
    bool pendingFaulty = false;
    Stats counters;
    // Spells in which nobody read the line: a busy reader makes hundreds a second, so they are
    // said in sums, at most one line a second, when a reader takes the line again.
    struct Stalls
    {
        int64_t spells = 0;
        int64_t dropped = 0;
        double seconds = 0.0;
    };
    Stalls stallsInAll;
    Stalls stallsUnsaid; // since the last line
};

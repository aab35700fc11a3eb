// SPDX-License-Identifier: MIT
// Ctrl-C, SIGTERM and SIGHUP (on Windows, the console's Ctrl-C, Ctrl-Break and close) delivered as
// an event on the event loop, so that a program ends through its normal path and on a whole frame.
// The only signal code in the project: POSIX signals through a self-pipe, Windows console events
// beside them.
#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <thread>

class QSocketNotifier;

class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // Catches SIGINT, SIGTERM and SIGHUP (unless ignored, as under nohup) from now on; `onStop`
    // runs on the event loop for each. Calls interrupted by them resume instead of failing. On
    // POSIX only the first one is caught (with a line on standard error saying so); a second one
    // ends the process as that signal does by default. False with *error set when it cannot.
    // `doing` says what the program does about it, after its name ("stopping after the current
    // frame").
    bool install(std::function<void()> onStop, QString *error,
        const QString &doing = QStringLiteral("stopping after the current frame"));
    // Runs the stop, on the event loop.
    void stopNow();
    // A stop signal came: for work that runs without the event loop (a conversion, an open that
    // waits), which looks at this between its steps. Safe from any thread.
    static bool caught();
    // The first stop signal's number (SIGINT, SIGTERM, SIGHUP), for an exit status that tells it;
    // 0 before one came, or where the stop is no signal (Windows).
    static int caughtSignal();
    // The exit status of a program that a stop ended: 128 + the signal's number, as a shell
    // shows a program the signal ended (130 where the stop was no signal).
    static int stoppedExitStatus() { return 128 + (caughtSignal() > 0 ? caughtSignal() : 2); }
    // Starts a helper thread that never takes a stop signal: they stay the program's own threads',
    // or two signals on two threads at once would be taken in either order.
    static std::thread startThreadWithoutSignals(std::function<void()> body);
    // While the program makes its files whole, a second signal waits for release() and then ends
    // the process as it would have at once: a Ctrl-C during the last write cannot leave a
    // half-written file behind.
    void hold();
    void release();
    // Holds from the first signal on, for a program whose event loop never waits on a write
    // (the viewer: its files are written on a worker thread): a second signal that comes before
    // the program reached hold() waits for release() too. A third one ends the process at once.
    // Called before install(), whose notice then says so.
    void holdFromFirstSignal();

private:
    std::unique_ptr<QSocketNotifier> notifier;
    bool catchesHangUp = false;
    std::function<void()> stop;
};

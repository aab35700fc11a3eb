// SPDX-License-Identifier: MIT
// Ctrl-C and SIGTERM delivered as an event: the handler only writes a byte into a self-pipe, and
// the event loop reads it, so a tool ends through its normal path and on a whole frame. The only
// POSIX signal code in the tools; another platform's console events go beside it.
#pragma once

#include <QString>

#include <functional>
#include <memory>

class QSocketNotifier;

class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // Catches SIGINT and SIGTERM from now on; `onStop` runs on the event loop for each. Calls
    // interrupted by them resume instead of failing. False with *error set when it cannot.
    bool install(std::function<void()> onStop, QString *error);

private:
    std::unique_ptr<QSocketNotifier> notifier;
    std::function<void()> stop;
};

// SPDX-License-Identifier: MIT
// A stop for a tool whose work runs without the event loop (a conversion, a picture): the work
// looks at StopSignals::caught() between its steps, but a read or a write that waits on a pipe
// resumes after the signal and would wait on, and some work takes no steps it could look between.
// Past a short grace the stop is done here, on a thread of its own: the output's temporary file
// goes, the tool says what it left, and it ends with 128 + the signal's number.
#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

class StalledStop {
public:
    explicit StalledStop(const QString &program);
    ~StalledStop();
    StalledStop(const StalledStop &) = delete;
    StalledStop &operator=(const StalledStop &) = delete;

    // The file to remove (empty: none, the output is a pipe or a device) and what that leaves
    // ("no FILE was made").
    void setOutput(const QString &temporary, const QString &left);
    // The work is past its reads and writes: the tool ends itself from here on.
    void takeOver();

private:
    void run();

    std::mutex mutex;
    std::condition_variable wake;
    QByteArray programName;
    QByteArray temporaryPath;
    QByteArray leftNote = "nothing was written";
    bool over = false;
    std::thread thread; // last: starts once the rest is made
};

// SPDX-License-Identifier: MIT
// The file check of an h5 recording, in a process of its own. libhdf5 trusts a file's metadata: a
// damaged object header or chunk index can crash it in the middle of a read. So before the reader
// reads a file in this process, vazorez-h5check (a program of ours beside the others) reads it
// whole and reports how far it got; a file that would crash the library crashes the checker.
//
// The checker is started afresh with posix_spawn, never forked from this process: a fork copies a
// threaded program's locks as they stand (libhdf5's own, held by a recorder's thread, would stay
// held in the copy for ever), its signal handlers and every open descriptor. The checker starts
// with the default handling of every signal, no signal blocked, in a process group of its own, and
// with no descriptor of ours but the pipe it reports on (as its standard output) and standard
// error.
#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdint>

class Hdf5CheckProcess {
public:
    Hdf5CheckProcess() = default;
    // Ends a checker still reading.
    ~Hdf5CheckProcess();
    Hdf5CheckProcess(const Hdf5CheckProcess &) = delete;
    Hdf5CheckProcess &operator=(const Hdf5CheckProcess &) = delete;

    // Starts the checker on `path`; false with *error when it cannot be started (not found, no
    // process to be had), which says nothing of the file.
    bool start(const QString &path, QString *error);
    // Waits for the checker's word on the file's structure (its attributes and datasets). False
    // when the library failed on it there; true also when the checker refused the file with a
    // reason (not one of ours, a dataset missing): refusal() says it.
    bool waitForStructure();
    // Takes the checker's reports, waiting up to `waitMs` for one; a checker that reports nothing
    // for long counts as failing.
    void takeReports(int waitMs);
    // Stops the checker; `failed`: count what it had not read yet as unreadable.
    void end(bool failed);

    // The checker has read the whole file, or failed (and also: none was started).
    bool over() const { return finished; }
    bool failed() const { return failedAt; }
    // Why the checker refused the file, as the reader would say it; empty when it did not.
    QString refusal() const { return reason; }
    // Rows whose times and counts, and rows read whole, so far.
    int64_t timesChecked() const { return indexChecked; }
    int64_t framesChecked() const { return wholeChecked; }

    // The checker's own side: reads `path` whole in this process, writing its reports to
    // `reports`, and returns the exit status. A read that fails without crashing is read past:
    // it fails the same way in the reader, which says it.
    static int runChecker(const QString &path, int reports);
    // Where the checker is: beside the running program, else where the package installs it.
    // Empty when it is in neither place; *looked (if given) names the places.
    static QString checkerPath(QString *looked = nullptr);

private:
    int64_t pid = -1;
    int reports = -1;
    QByteArray partialReport;
    QString reason;
    QElapsedTimer sinceReport;
    int64_t indexChecked = 0;
    int64_t wholeChecked = 0;
    bool structureSeen = false;
    bool finished = true; // no checker: nothing to wait for
    bool failedAt = false;
};

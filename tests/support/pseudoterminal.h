// SPDX-License-Identifier: MIT
// A real pseudo-terminal standing in for the board's serial line: the worker opens the slave side
// by its path, the test plays the board on the master side.
#pragma once

#include <QByteArray>
#include <QString>

class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isValid() const { return masterFd >= 0; }
    QString slavePath() const { return path; }

    // Writes every byte, waiting while the line is full; false after `timeoutMs` without progress.
    bool write(const QByteArray &bytes, int timeoutMs = 5000);
    // Whatever the other side has written to the line so far, without waiting.
    QByteArray readAvailable();
    // Hangs the line up, as a pulled USB adapter does.
    void closeMaster();

private:
    int masterFd = -1;
    int slaveFd = -1; // held open so that the line stays up between opens of the port
    QString path;
};

// SPDX-License-Identifier: MIT
#include "pseudoterminal.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    char name[128] = {};
    if (::openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0) {
        masterFd = slaveFd = -1;
        return;
    }
    // Raw from the start: no echo back to the master, no translation of the board's bytes.
    termios settings {};
    ::tcgetattr(slaveFd, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(slaveFd, TCSANOW, &settings);
    ::fcntl(masterFd, F_SETFL, ::fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    path = QString::fromLocal8Bit(name);
}

PseudoTerminal::~PseudoTerminal()
{
    closeMaster();
    if (slaveFd >= 0)
        ::close(slaveFd);
}

bool PseudoTerminal::write(const QByteArray &bytes, int timeoutMs)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        if (masterFd < 0)
            return false;
        const ssize_t written = ::write(masterFd, data, size_t(left));
        if (written > 0) {
            data += written;
            left -= written;
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd waitFor {masterFd, POLLOUT, 0};
        if (::poll(&waitFor, 1, timeoutMs) <= 0)
            return false;
    }
    return true;
}

QByteArray PseudoTerminal::readAvailable()
{
    QByteArray result;
    char chunk[4096];
    while (masterFd >= 0) {
        const ssize_t got = ::read(masterFd, chunk, sizeof chunk);
        if (got <= 0)
            break;
        result.append(chunk, int(got));
    }
    return result;
}

void PseudoTerminal::closeMaster()
{
    if (masterFd >= 0)
        ::close(masterFd);
    masterFd = -1;
}

// SPDX-License-Identifier: MIT
#include "simulator.h"

#include "framedecoder.h"
#include "framereceiver.h"

#include <QCommandLineParser>
#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// 8N1: ten bit times a byte.
constexpr double kLineBytesPerSecond = 115200.0 / 10.0;

bool readProbability(const QCommandLineParser &parser, const QString &name, double *out, QString *error)
{
    bool ok = false;
    const double value = parser.value(name).toDouble(&ok);
    if (!ok || value < 0.0 || value > 1.0) {
        *error = QStringLiteral("--%1 wants a probability from 0 to 1, not '%2'").arg(name, parser.value(name));
        return false;
    }
    *out = value;
    return true;
}

} // namespace

void addSimulatorOptions(QCommandLineParser &parser, bool withDevice)
{
    if (withDevice)
        parser.addOption({"device", "Write to the serial device PATH instead of a new pseudo-terminal.", "PATH"});
    parser.addOptions({
        {"mode", "cw, fmcw or alternate (default cw).", "MODE", "cw"},
        {"samples", "Samples per channel, 0 to 255 (default 128).", "N", "128"},
        {"count", "Frames to send (default: until interrupted).", "N"},
        {"seed", "Seed: the same seed gives the same bytes (default 1).", "N", "1"},
        {"rate", "line (115200 baud 8N1, default), frames per second, or max.", "RATE", "line"},
        {"junk", "Probability of random bytes before a frame.", "P", "0"},
        {"stray-header", "Probability of a false header pair in junk.", "P", "0"},
        {"bad-checksum", "Probability of a frame with a wrong checksum.", "P", "0"},
        {"bad-mode", "Probability of a frame with an invalid mode byte.", "P", "0"},
        {"truncate", "Probability of a frame cut short.", "P", "0"},
        {"replay", "Stream the frames of a raw capture instead of synthetic ones.", "FILE"},
    });
}

bool readSimulatorOptions(const QCommandLineParser &parser, SimulatorOptions &options, QString *error)
{
    options.replayFile = parser.value("replay");

    const QString mode = parser.value("mode");
    if (mode == "cw")
        options.mode = SimMode::Cw;
    else if (mode == "fmcw")
        options.mode = SimMode::Fmcw;
    else if (mode == "alternate")
        options.mode = SimMode::Alternate;
    else {
        *error = QStringLiteral("--mode wants cw, fmcw or alternate, not '%1'").arg(mode);
        return false;
    }

    bool ok = false;
    options.samples = parser.value("samples").toInt(&ok);
    if (!ok || options.samples < 0 || options.samples > 255) {
        *error = QStringLiteral("--samples wants a number from 0 to 255, not '%1'").arg(parser.value("samples"));
        return false;
    }
    if (parser.isSet("count")) {
        options.count = parser.value("count").toLongLong(&ok);
        if (!ok || options.count < 0) {
            *error = QStringLiteral("--count wants a number of frames, not '%1'").arg(parser.value("count"));
            return false;
        }
    }
    options.seed = parser.value("seed").toUInt(&ok);
    if (!ok) {
        *error = QStringLiteral("--seed wants a number from 0 to 4294967295, not '%1'").arg(parser.value("seed"));
        return false;
    }

    const QString rate = parser.value("rate");
    if (rate == "line") {
        options.rate = SimulatorOptions::Rate::Line;
    } else if (rate == "max") {
        options.rate = SimulatorOptions::Rate::Max;
    } else {
        options.rate = SimulatorOptions::Rate::Fixed;
        options.framesPerSecond = rate.toDouble(&ok);
        if (!ok || !(options.framesPerSecond > 0.0) || options.framesPerSecond > 1e6) {
            *error = QStringLiteral("--rate wants line, max or frames per second, not '%1'").arg(rate);
            return false;
        }
    }

    return readProbability(parser, "junk", &options.faults.junk, error)
        && readProbability(parser, "stray-header", &options.faults.strayHeader, error)
        && readProbability(parser, "bad-checksum", &options.faults.badChecksum, error)
        && readProbability(parser, "bad-mode", &options.faults.badMode, error)
        && readProbability(parser, "truncate", &options.faults.truncate, error);
}

Simulator::Simulator(const SimulatorOptions &options)
    : options(options)
    , model(options.mode, options.samples, options.seed)
    , faults(options.faults, options.seed)
{
}

Simulator::~Simulator()
{
    if (fd >= 0)
        ::close(fd);
    if (heldSlaveFd >= 0)
        ::close(heldSlaveFd);
}

bool Simulator::loadReplay(QString *error)
{
    QFile file(options.replayFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(options.replayFile, file.errorString());
        return false;
    }
    // Split the capture by the viewer's own rules, so that replay sends exactly what it accepted.
    FrameReceiver receiver;
    FrameDecoder decoder;
    frame_t record;
    const auto keep = [this](const frame_t &, const char *bytes, int length) {
        replayFrames.emplace_back(bytes, length);
    };
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(1 << 16);
        receiver.receive(chunk.constData(), chunk.size(), decoder, record, keep);
    }
    receiver.flush(decoder, record, keep);
    if (replayFrames.empty()) {
        *error = QStringLiteral("%1 holds no frame").arg(options.replayFile);
        return false;
    }
    return true;
}

bool Simulator::openPseudoTerminal(QString *slavePath, QString *error)
{
    int master = -1, slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("cannot open a pseudo-terminal: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    termios settings {};
    ::tcgetattr(slave, &settings);
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B115200);
    ::tcsetattr(slave, TCSANOW, &settings);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    fd = master;
    heldSlaveFd = slave;
    *slavePath = QString::fromLocal8Bit(name);
    return true;
}

bool Simulator::openDevice(const QString &path, QString *error)
{
    const int device = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    termios settings {};
    if (::tcgetattr(device, &settings) != 0) {
        *error = QStringLiteral("%1 is not a serial device: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(device);
        return false;
    }
    // The viewer's line: 115200 baud, 8 data bits, no parity, one stop bit, RTS/CTS.
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B115200);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CLOCAL | CRTSCTS;
    ::tcsetattr(device, TCSANOW, &settings);
    fd = device;
    return true;
}

bool Simulator::nextSlot(QByteArray &slot, bool *faulty)
{
    if (options.count >= 0 && index >= options.count)
        return false;
    QByteArray frame;
    if (!replayFrames.empty()) {
        if (index >= int64_t(replayFrames.size()))
            return false;
        frame = replayFrames[size_t(index)];
    } else {
        frame = encodeFrame(model.frame(index));
    }
    slot.clear();
    *faulty = faults.append(slot, frame);
    ++index;
    return true;
}

bool Simulator::drain()
{
    while (!pending.isEmpty()) {
        const ssize_t written = ::write(fd, pending.constData(), size_t(pending.size()));
        if (written > 0) {
            counters.bytes += written;
            pending.remove(0, int(written));
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        return false; // full (EAGAIN) or the line is gone
    }
    return true;
}

bool Simulator::waitWritable(int timeoutMs)
{
    pollfd waitFor {fd, POLLOUT, 0};
    const int ready = ::poll(&waitFor, 1, timeoutMs);
    return ready > 0 && (waitFor.revents & POLLOUT);
}

void Simulator::run(const std::function<bool()> &stopRequested,
                    const std::function<void(const QString &)> &notice)
{
    auto say = [&notice](const QString &text) {
        if (notice)
            notice(text);
    };
    bool readerStalled = false;
    auto due = Clock::now();
    QByteArray slot;
    bool faulty = false;
    while (!stopRequested()) {
        if (options.rate != SimulatorOptions::Rate::Max) {
            // Sleep until the frame is due, writing out the rest of the last one meanwhile.
            for (auto now = Clock::now(); now < due && !stopRequested(); now = Clock::now()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
                const int timeout = int(std::min<int64_t>(std::max<int64_t>(left, 1), 100));
                if (pending.isEmpty() || !waitWritable(timeout)) {
                    if (pending.isEmpty())
                        ::poll(nullptr, 0, timeout);
                    continue;
                }
                drain();
            }
        }
        if (stopRequested())
            break;
        if (!drain()) {
            if (options.rate == SimulatorOptions::Rate::Max) {
                waitWritable(100); // as fast as the reader takes them
                continue;
            }
            // Nobody is taking the line's bytes: drop this frame rather than block or pile up.
            if (!nextSlot(slot, &faulty))
                break;
            ++counters.dropped;
            if (!readerStalled)
                say(QStringLiteral("nobody is reading the line: dropping frames until a reader takes them"));
            readerStalled = true;
        } else {
            if (readerStalled)
                say(QStringLiteral("a reader took the line again after %1 dropped frames").arg(counters.dropped));
            readerStalled = false;
            if (!nextSlot(slot, &faulty))
                break;
            pending = slot;
            pendingFaulty = faulty;
            ++counters.frames;
            counters.faulty += faulty ? 1 : 0;
            drain();
        }
        if (options.rate != SimulatorOptions::Rate::Max) {
            const double seconds = options.rate == SimulatorOptions::Rate::Line
                ? double(slot.size()) / kLineBytesPerSecond
                : 1.0 / options.framesPerSecond;
            due += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
            // After a long stall, start a fresh schedule rather than burst to catch up.
            if (Clock::now() - due > std::chrono::seconds(1))
                due = Clock::now();
        }
    }
    // Finish the frame that was started, for up to a second, so the stream ends on a whole frame.
    for (int tries = 0; tries < 10 && !drain(); ++tries)
        waitWritable(100);
    if (!pending.isEmpty()) {
        --counters.frames;
        counters.faulty -= pendingFaulty ? 1 : 0;
        say(QStringLiteral("the last frame could not be finished: %1 bytes unsent").arg(pending.size()));
        pending.clear();
    }
}

QString Simulator::summary() const
{
    return QStringLiteral("sent: %1 frames, %2 bytes, %3 faulty").arg(counters.frames).arg(counters.bytes).arg(counters.faulty);
}

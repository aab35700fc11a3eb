// SPDX-License-Identifier: MIT
// vazorez-capture PORT: records every frame the board sends, decoded by the viewer's own rules.
#include "framedecoder.h"
#include "framereceiver.h"
#include "framewriter.h"
#include "serialport.h"
#include "toolcli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void forwardSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
}

class Capture : public QObject
{
public:
    Capture(FILE *out, FrameWriter::Format format, int64_t frameLimit, QString target)
        : writer(out, format)
        , frameLimit(frameLimit)
        , target(std::move(target))
        , showStatus(::isatty(STDERR_FILENO))
    {
        connect(&port, &QSerialPort::readyRead, this, &Capture::readAvailable);
        connect(&port, &QSerialPort::errorOccurred, this, &Capture::portError);
        connect(&statusTimer, &QTimer::timeout, this, &Capture::printStatus);
    }

    bool open(const QString &name)
    {
        if (!openWithLineSettings(port, name, 115200)) {
            std::fprintf(stderr, "vazorez-capture: cannot open %s: %s\n", qPrintable(name),
                         qPrintable(port.errorString()));
            return false;
        }
        if (!writer.writeHeader())
            return fail(QStringLiteral("cannot write to %1: %2").arg(target, writer.errorString()));
        clock.start();
        if (showStatus)
            statusTimer.start(1000);
        std::fprintf(stderr, "vazorez-capture: recording %s to %s\n", qPrintable(name), qPrintable(target));
        return true;
    }

    // Writes what is still buffered, flushes, closes the port and ends the event loop.
    void finish(int code)
    {
        if (finished)
            return;
        finished = true;
        if (port.isOpen()) {
            consume(port.readAll());
            port.close();
        }
        receiver.flush(decoder, record, sink());
        if (!writer.finish() && exitCode == 0) {
            std::fprintf(stderr, "vazorez-capture: cannot write to %s: %s\n", qPrintable(target),
                         qPrintable(writer.errorString()));
            code = 1;
        }
        exitCode = exitCode ? exitCode : code;
        statusTimer.stop();
        if (showStatus)
            std::fputs("\r\033[K", stderr);
        const auto &stats = receiver.stats();
        const double seconds = clock.isValid() ? clock.nsecsElapsed() / 1e9 : 0.0;
        std::fprintf(stderr, "vazorez-capture: %lld frames in %.1f s (%.1f frames/s), %llu rejected, %llu bytes dropped\n",
                     static_cast<long long>(written), seconds, seconds > 0 ? double(written) / seconds : 0.0,
                     static_cast<unsigned long long>(stats.framesRejected),
                     static_cast<unsigned long long>(stats.bytesDropped));
        QCoreApplication::exit(exitCode);
    }

    int result() const { return exitCode; }

private:
    FrameReceiver::FrameSink sink()
    {
        return [this](const frame_t &frame, const char *bytes, int length) {
            if (exitCode != 0 || (frameLimit >= 0 && written >= frameLimit))
                return;
            if (!writer.write(written, arrival, frame, bytes, length)) {
                fail(QStringLiteral("cannot write to %1: %2").arg(target, writer.errorString()));
                return;
            }
            ++written;
        };
    }

    void consume(const QByteArray &bytes)
    {
        arrival = clock.nsecsElapsed() / 1e9;
        receiver.receive(bytes.constData(), bytes.size(), decoder, record, sink());
    }

    void readAvailable()
    {
        consume(port.readAll());
        if (exitCode != 0 || (frameLimit >= 0 && written >= frameLimit))
            QTimer::singleShot(0, this, [this] { finish(0); });
    }

    void portError(QSerialPort::SerialPortError error)
    {
        if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
            return;
        std::fprintf(stderr, "\nvazorez-capture: the port went away: %s\n", qPrintable(port.errorString()));
        port.close();
        QTimer::singleShot(0, this, [this] { finish(1); });
    }

    bool fail(const QString &message)
    {
        if (exitCode == 0)
            std::fprintf(stderr, "vazorez-capture: %s\n", qPrintable(message));
        exitCode = 1;
        QTimer::singleShot(0, this, [this] { finish(1); });
        return false;
    }

    void printStatus()
    {
        const auto &stats = receiver.stats();
        std::fprintf(stderr, "\r\033[Kframes %lld  %.1f/s  rejected %llu  dropped %llu bytes",
                     static_cast<long long>(written), (written - lastWritten) / 1.0,
                     static_cast<unsigned long long>(stats.framesRejected),
                     static_cast<unsigned long long>(stats.bytesDropped));
        lastWritten = written;
    }

    QSerialPort port;
    FrameReceiver receiver;
    FrameDecoder decoder;
    frame_t record;
    FrameWriter writer;
    QElapsedTimer clock;
    QTimer statusTimer;
    int64_t frameLimit;
    int64_t written = 0;
    int64_t lastWritten = 0;
    double arrival = 0.0;
    QString target;
    bool showStatus;
    bool finished = false;
    int exitCode = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("vazorez-capture");
    qInstallMessageHandler(printAllButDebug); // rejected frames are counted in the status line

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Records every frame from PORT with the viewer's line settings and decoding.\n"
        "csv: frame,time_s,mode,k,i,q,s (one row per sample); jsonl: one object per frame;\n"
        "raw: the bytes of each accepted frame, back to back.");
    parser.addHelpOption();
    parser.addPositionalArgument("PORT", "Serial device or pseudo-terminal path.");
    FrameWriter::addOutputOptions(parser);
    parser.addOptions({
        {"frames", "Stop after N frames.", "N"},
        {"seconds", "Stop after S seconds.", "S"},
    });
    if (const auto exitCode = parseArguments(parser))
        return *exitCode;
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("give exactly one PORT"));
    const QString portName = parser.positionalArguments().first();
    const QString outputPath = parser.value("output");
    FrameWriter::Format format;
    QString error;
    if (!FrameWriter::formatFromOptions(parser, &format, &error))
        return usageError(error);
    int64_t frameLimit = -1;
    double secondsLimit = -1;
    bool ok = true;
    if (parser.isSet("frames") && ((frameLimit = parser.value("frames").toLongLong(&ok)) < 1 || !ok))
        return usageError(QStringLiteral("--frames wants a positive number, not '%1'").arg(parser.value("frames")));
    if (parser.isSet("seconds") && (!((secondsLimit = parser.value("seconds").toDouble(&ok)) > 0) || !ok))
        return usageError(QStringLiteral("--seconds wants a positive number, not '%1'").arg(parser.value("seconds")));

    std::signal(SIGPIPE, SIG_IGN); // a closed pipe is a write error we report, not a silent death
    QString target;
    FILE *out = FrameWriter::openOutput(outputPath, &target, &error);
    if (!out) {
        std::fprintf(stderr, "vazorez-capture: %s\n", qPrintable(error));
        return 1;
    }

    // Ctrl-C and SIGTERM end the capture through the event loop, so that it ends on a whole frame.
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe);
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    Capture capture(out, format, frameLimit, target);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &capture, [&capture] { capture.finish(0); });
    if (!capture.open(portName))
        return 1;
    if (secondsLimit > 0)
        QTimer::singleShot(int(secondsLimit * 1000), &capture, [&capture] { capture.finish(0); });
    const int code = application.exec();
    if (out != stdout)
        std::fclose(out);
    return code ? code : capture.result();
}

// SPDX-License-Identifier: MIT
// vazorez-capture PORT: records every frame the board sends, decoded by the viewer's own rules.
#include "framedecoder.h"
#include "framereceiver.h"
#include "framerecorder.h"
#include "framewriter.h"
#include "linesettings.h"
#include "livepublisher.h"
#include "networklink.h"
#include "serialport.h"
#include "stopsignals.h"
#include "toolcli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>

#include <csignal>
#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

// Exit statuses a script can tell apart.
enum ExitStatus { Done = 0, Failed = 1, BadOptions = 2, HungUp = 3 };

class Capture : public QObject
{
public:
    Capture(int64_t frameLimit, double secondsLimit)
        : frameLimit(frameLimit)
        , secondsLimit(secondsLimit)
        , showStatus(isatty(fileno(stderr)))
    {
        connect(&port, &QSerialPort::readyRead, this, &Capture::readAvailable);
        connect(&port, &QSerialPort::errorOccurred, this, &Capture::portError);
        connect(&network, &NetworkLink::readyRead, this, &Capture::readAvailable);
        connect(&network, &NetworkLink::lost, this, &Capture::networkLost);
        connect(&statusTimer, &QTimer::timeout, this, &Capture::printStatus);
        // The recorder hands a quiet line's frames to the file by itself; a write error there ends
        // the capture too.
        errorTimer.setInterval(250);
        connect(&errorTimer, &QTimer::timeout, this, [this] {
            if (exitCode == Done && recorder && !recorder->status().error.isEmpty())
                fail();
        });
        // A coarse timer may fire 5 % early.
        stopTimer.setTimerType(Qt::PreciseTimer);
        stopTimer.setSingleShot(true);
        connect(&stopTimer, &QTimer::timeout, this, [this] { finish(Done); });
    }

    // Every frame recorded is published on `endpoint` too. False with the reason when it cannot
    // be bound: before the port opens, so that nothing is recorded that was meant to be shared.
    bool publish(const QString &endpoint, const QByteArray &profileJson, const QString &profilePath,
        QString *error)
    {
        publisher = std::make_unique<LivePublisher>();
        radarProfile = profileJson;
        return publisher->setRadarProfile(profileJson, error, profilePath)
            && publisher->start(endpoint, error);
    }

    // The port first: the output is created only once there is something to record from.
    bool open(
        const QString &name, const QString &outputPath, const QString &format, const QString &note)
    {
        portName = name;
        networked = NetworkLink::isNetworkName(name);
        if (!networked && QFileInfo(name).isFile()) {
            toolError(
                QStringLiteral("%1 is a file, not a serial port; vazorez-decode reads recordings")
                    .arg(name));
            return false;
        }
        if (networked ? !network.open(name, LineSettings::kBaudRate)
                      : !openWithLineSettings(port, name, LineSettings::kBaudRate)) {
            if (StopSignals::caught()) {
                // Ctrl-C while a server kept the open waiting: nothing to record, nothing made.
                std::fprintf(stderr,
                    "vazorez-capture: stopped while %s opened; nothing was recorded\n",
                    qPrintable(name));
                stoppedBeforeStart = true;
                return false;
            }
            toolError(QStringLiteral("cannot open %1: %2")
                          .arg(name, networked ? network.errorString() : port.errorString()));
            return false;
        }
        // The viewer's recorder: the same buffering, the same flushes on a quiet line, and after
        // a write error the same file of the whole frames written before it.
        recorder = std::make_unique<FrameRecorder>(outputPath, format);
        RecordingContext session;
        session.source = name;
        session.note = note;
        session.radarProfileJson = QString::fromUtf8(radarProfile);
        recorder->setContext(session);
        recorder->setKeepsEmptyRecording(true);
        QString error;
        if (!recorder->start(0.0, &error)) {
            QString said = QStringLiteral("cannot create %1: %2")
                               .arg(recorder->description(), recorder->outputError());
            if (QFileInfo(outputPath).isFile())
                said += "; " + OutputFile::untouched(outputPath);
            toolError(said);
            return false;
        }
        if (showStatus)
            statusTimer.start(1000);
        errorTimer.start();
        std::fprintf(stderr, "vazorez-capture: recording %s to %s\n", qPrintable(name),
            qPrintable(recorder->writingPath()));
        if (publisher) {
            publisher->linkOpened({name, QByteArray()});
            std::fprintf(stderr, "vazorez-capture: publishing on %s\n",
                qPrintable(publisher->endpoint()));
        }
        return true;
    }

    // Writes what is still buffered, closes the port, gives the output its name and ends the
    // event loop.
    void finish(int code)
    {
        if (finished)
            return;
        finished = true;
        errorTimer.stop();
        const double seconds = clock.isValid() ? clock.nsecsElapsed() / 1e9 : 0.0;
        if (port.isOpen()) {
            consume(port.readAll());
            port.close();
        }
        if (network.isOpen()) {
            consume(network.readAll());
            framesLost = network.framesLost();
            network.close();
        }
        receiver.flush(decoder, record, sink());
        // The frames that were complete in the buffer when the line hung up are counted first:
        // a capture that got every frame it wanted is done, however the line ended.
        if (code == HungUp && frameLimit >= 0 && written >= frameLimit)
            code = Done;
        if (publisher) {
            publisher->setLinkFigures(receiver.stats().framesDecoded, receiver.stats().framesRejected,
                receiver.stats().bytesDropped);
            publisher->linkClosed();
            if (code == HungUp)
                publisher->linkLost(lostReason.isEmpty() ? QStringLiteral("the line hung up") : lostReason);
        }
        // After a write error the file keeps the whole frames written before it, and says how many.
        QString error;
        if (recorder && !recorder->finish(&error)) {
            toolError(QStringLiteral("cannot write to %1: %2").arg(recorder->description(), error));
            exitCode = Failed;
        }
        if (exitCode != Done && recorder)
            written = recorder->status().frames;
        exitCode = exitCode != Done ? exitCode : code;
        statusTimer.stop();
        if (showStatus)
            std::fputs("\r\033[K", stderr);
        if (code == HungUp && exitCode == HungUp)
            std::fprintf(stderr, "vazorez-capture: the line hung up after %lld frames (%s%s)\n",
                static_cast<long long>(written), qPrintable(portName),
                qPrintable(lostReason.isEmpty() ? QString() : QStringLiteral(": ") + lostReason));
        const auto &stats = receiver.stats();
        std::fprintf(stderr, "vazorez-capture: %lld frames in %.3f s (%.1f frames/s), %llu rejected, %llu bytes dropped\n",
                     static_cast<long long>(written), seconds, seconds > 0 ? double(written) / seconds : 0.0,
                     static_cast<unsigned long long>(stats.framesRejected),
                     static_cast<unsigned long long>(stats.bytesDropped));
        if (framesLost > 0)
            std::fprintf(stderr, "vazorez-capture: %llu frames lost on the way (gaps in the publisher's seq)\n",
                static_cast<unsigned long long>(framesLost));
        if (publisher && publisher->unsent() > 0)
            std::fprintf(stderr,
                "vazorez-capture: published %llu frames on %s; %llu of them could not be sent (the "
                "queue was full)\n",
                static_cast<unsigned long long>(publisher->published()),
                qPrintable(publisher->endpoint()),
                static_cast<unsigned long long>(publisher->unsent()));
        else if (publisher)
            std::fprintf(stderr, "vazorez-capture: published %llu frames on %s\n",
                static_cast<unsigned long long>(publisher->published()),
                qPrintable(publisher->endpoint()));
        QCoreApplication::exit(exitCode);
    }

    int result() const { return exitCode; }
    // A stop came while the port opened: nothing went wrong.
    bool stoppedBeforeOpen() const { return stoppedBeforeStart; }

private:
    FrameReceiver::FrameSink sink()
    {
        return [this](const frame_t &frame, const char *bytes, int length) {
            if (exitCode != Done || (frameLimit >= 0 && written >= frameLimit)
                || (secondsLimit > 0 && arrival > secondsLimit))
                return;
            recorder->frameDecoded(frame, bytes, length, arrival);
            if (!recorder->status().error.isEmpty()) {
                fail();
                return;
            }
            ++written;
            if (publisher)
                publisher->frameDecoded(frame, bytes, length, arrival);
        };
    }

    void consume(const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            return;
        // Time counts from the read that brought the first byte, not from the open: a board
        // that starts late does not shorten --seconds.
        if (!clock.isValid()) {
            clock.start();
            if (secondsLimit > 0)
                stopTimer.start(int(secondsLimit * 1000 + 0.5));
        }
        arrival = clock.nsecsElapsed() / 1e9;
        receiver.receive(bytes.constData(), bytes.size(), decoder, record, sink());
        if (publisher)
            publisher->setLinkFigures(receiver.stats().framesDecoded, receiver.stats().framesRejected,
                receiver.stats().bytesDropped);
    }

    void readAvailable()
    {
        consume(networked ? network.readAll() : port.readAll());
        if (exitCode != Done || (frameLimit >= 0 && written >= frameLimit))
            QTimer::singleShot(0, this, [this] { finish(Done); });
    }

    void portError(QSerialPort::SerialPortError error)
    {
        if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
            return;
        // The board stopped or the adapter was pulled: what arrived is kept, the file is whole.
        consume(port.readAll());
        port.close();
        QTimer::singleShot(0, this, [this] { finish(HungUp); });
    }

    // The server went or stopped answering: as a hang-up, with the reason.
    void networkLost(const QString &reason)
    {
        lostReason = reason;
        consume(network.readAll());
        network.close();
        QTimer::singleShot(0, this, [this] { finish(HungUp); });
    }

    // A write error: said once the file is made of what was written whole before it.
    void fail()
    {
        exitCode = Failed;
        QTimer::singleShot(0, this, [this] { finish(Failed); });
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
    NetworkLink network;
    bool networked = false;
    QString portName;
    QString lostReason;
    FrameReceiver receiver;
    FrameDecoder decoder;
    frame_t record;
    std::unique_ptr<FrameRecorder> recorder;
    std::unique_ptr<LivePublisher> publisher;
    QByteArray radarProfile; // published targets' profile, kept with an h5 recording
    uint64_t framesLost = 0; // of a publisher read as the port
    QElapsedTimer clock; // from the first byte
    QTimer statusTimer;
    QTimer errorTimer;
    QTimer stopTimer;
    int64_t frameLimit;
    double secondsLimit;
    int64_t written = 0;
    int64_t lastWritten = 0;
    double arrival = 0.0;
    bool showStatus;
    bool finished = false;
    bool stoppedBeforeStart = false;
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
        "raw: the bytes of each accepted frame, back to back; h5: an HDF5 recording with the\n"
        "session's attributes (see the README). time_s and --seconds count from\n"
        "the read that brought the first byte. Ctrl-C, SIGTERM or SIGHUP ends the capture on a\n"
        "whole frame; so does the line hanging up (the board stopped, the adapter pulled). A\n"
        "second one ends it at once, by that signal, even while a write to a full pipe is\n"
        "blocked: the output file then keeps its temporary name FILE.part-XXXXXX.\n"
        "Exit status: 0 done (--frames, --seconds or a signal), 1 a failure (the port cannot be\n"
        "opened, the output cannot be written: a file keeps the whole frames written before the\n"
        "error, and says how many), 2 bad options, 3 the line hung up, the network\n"
        "port's server closed the connection or stopped answering, or the publisher read\n"
        "stopped or fell silent (everything received until then is written).\n"
        "--publish ENDPOINT sends every recorded frame live to other programs (ZeroMQ; see\n"
        "the README); a board published so is read back with PORT zmq+tcp://HOST:PORT.");
    parser.addHelpOption();
    parser.addPositionalArgument("PORT",
        "Serial device or pseudo-terminal path, or a board behind a serial port "
        "server: socket://HOST:PORT (raw TCP) or rfc2217://HOST:PORT (telnet "
        "with RFC 2217; the line settings are set on the far port), or a board another "
        "capture or viewer publishes: zmq+tcp://HOST:PORT (zmq+ipc://PATH).");
    FrameWriter::addOutputOptions(parser);
    parser.addOptions({
        {"frames", "Stop after N frames.", "N"},
        {"seconds", "Stop S seconds after the first byte.", "S"},
        {"note", "Keep TEXT with the recording (h5: its note attribute).", "TEXT"},
        {"publish",
            "Publish every frame recorded on ENDPOINT: tcp://127.0.0.1:PORT (this machine "
            "only), tcp://ADDRESS:PORT (the network; no authentication) or ipc://PATH.",
            "ENDPOINT"},
        {"radar",
            "With --publish: publish each frame's targets too, by the radar profile in FILE "
            "(JSON); an h5 recording keeps it.",
            "FILE"},
    });
    if (const auto exitCode = parseArguments(parser))
        return *exitCode;
    if (parser.positionalArguments().size() != 1)
        return usageError(QStringLiteral("give exactly one PORT"));
    const QString portName = parser.positionalArguments().first();
    QString error;
    if (NetworkLink::isNetworkName(portName) && !NetworkLink::isWellFormed(portName, &error))
        return usageError(QStringLiteral("%1: %2").arg(portName, error));
    FrameWriter::Format format;
    if (!FrameWriter::formatFromOptions(parser, &format, &error))
        return usageError(error);
    const QString formatName = parser.value("format"); // checked; empty: from the extension
    int64_t frameLimit = -1;
    double secondsLimit = -1;
    bool ok = true;
    if (parser.isSet("frames") && ((frameLimit = parser.value("frames").toLongLong(&ok)) < 1 || !ok))
        return usageError(QStringLiteral("--frames wants a positive number, not '%1'").arg(parser.value("frames")));
    if (parser.isSet("seconds") && (!((secondsLimit = parser.value("seconds").toDouble(&ok)) > 0) || !ok))
        return usageError(QStringLiteral("--seconds wants a positive number, not '%1'").arg(parser.value("seconds")));

    const QString endpoint = parser.value("publish");
    if (parser.isSet("publish") && endpoint.isEmpty())
        return usageError(QStringLiteral("--publish wants an endpoint (tcp://127.0.0.1:5556), not ''"));
    if (parser.isSet("publish") && !LivePublisher::isWellFormedEndpoint(endpoint, &error))
        return usageError(QStringLiteral("--publish %1").arg(error));

#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN); // a closed pipe is a write error we report, not a silent death
#endif
    QByteArray profileJson;
    if (parser.isSet("radar")) {
        if (!parser.isSet("publish"))
            return usageError(
                QStringLiteral("--radar needs --publish: its profile gives the targets the stream carries"));
        QFile profile(parser.value("radar"));
        if (!profile.open(QIODevice::ReadOnly))
            return usageError(QStringLiteral("cannot read the radar profile %1: %2")
                                  .arg(parser.value("radar"), profile.errorString()));
        profileJson = profile.readAll();
    }
    Capture capture(frameLimit, secondsLimit);
    if (parser.isSet("publish") && !capture.publish(endpoint, profileJson, parser.value("radar"), &error))
        return error.startsWith(QLatin1String("cannot publish")) ? toolError(error) : usageError(error);
    StopSignals stopSignals;
    if (!stopSignals.install([&capture] { capture.finish(Done); }, &error))
        return toolError(error);
    NetworkLink::abandonOpensWhen([] { return StopSignals::caught(); });
    if (!capture.open(portName, parser.value("output"), formatName, parser.value("note")))
        return capture.stoppedBeforeOpen() ? Done : Failed;
    const int code = application.exec();
    return code ? code : capture.result();
}

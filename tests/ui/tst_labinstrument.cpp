// SPDX-License-Identifier: MIT
// The window as a lab instrument, driven as a user drives it: the charts' context menu (pause,
// pictures, the shown frame, recording), the status bar, and replay into the window. A pseudo-
// terminal plays the board; the window is real, on the offscreen platform.
#include "boardmodel.h"
#include "capturereader.h"
#include "frameindex.h"
#include "framesupport.h"
#include "hdf5reader.h"
#include "hdf5recording.h"
#include "hdf5writer.h"
#include "labinstrument.h"
#include "linesettings.h"
#include "mainwindow.h"
#include "pseudoterminal.h"
#include "qtwarnings.h"
#include "replaybar.h"
#include "replaysource.h"
#include "simulator.h"
#ifdef VAZOREZ_RADAR_VIEW
#include "profilefile.h"
#include "radartruth.h"
#include "radarviewwindow.h"
#endif
#include "spectrumhistorywindow.h"
#include "statusreport.h"

#include <sys/stat.h>

#include <QAction>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QXYSeries>
#include <QtTest>

#include <zmq_addon.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace QtCharts;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The message on show in the status bar, whole.
QString statusMessage(const MainWindow &window)
{
    auto *message = window.findChild<ElidedLabel *>("label_StatusMessage");
    return message ? message->fullText() : QString();
}

// What the status bar says: the message on show, then the link's whole line.
QString statusText(const MainWindow &window)
{
    auto *line = window.findChild<ElidedLabel *>("label_LinkStatus");
    return statusMessage(window) + '\n' + (line ? line->fullText() : QString());
}

// A shown, connected window and the board behind it.
struct Bench {
    PseudoTerminal line;
    MainWindow window;
    LabInstrument lab {&window};
    QPushButton *button = window.findChild<QPushButton *>("pushButton_Connect");
    QList<QChartView *> views = window.findChildren<QChartView *>();
    QXYSeries *iSeries = static_cast<QXYSeries *>(views.first()->chart()->series().first());

    bool connectAndShow()
    {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            return false;
        window.addPort(line.slavePath());
        button->click();
        return button->text() == QLatin1String("disconnect");
    }

    QString status() const { return statusText(window); }

    // Right-clicks the chart `view` and picks `action` from the menu that opens.
    bool chooseFromMenu(QChartView *view, const char *action)
    {
        QContextMenuEvent click(
            QContextMenuEvent::Mouse, QPoint(60, 60), view->mapToGlobal(QPoint(60, 60)));
        QCoreApplication::sendEvent(view->viewport(), &click);
        auto *menu = window.findChild<QMenu *>("menu_Charts");
        auto *item = window.findChild<QAction *>(action);
        if (!menu || !item || !QTest::qWaitFor([menu] { return menu->isVisible(); }, 2000))
            return false;
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(item).center());
        return !menu->isVisible();
    }

    // Answers the save dialog that the last menu choice opened, with the type `filter` chosen.
    bool answerDialog(const QString &path, const QString &filter = QString())
    {
        QFileDialog *dialog = nullptr;
        const auto visibleDialog = [&] {
            for (QFileDialog *candidate : window.findChildren<QFileDialog *>("fileDialog_Save"))
                if (candidate->isVisible())
                    dialog = candidate;
            return dialog != nullptr;
        };
        if (!QTest::qWaitFor(visibleDialog, 3000))
            return false;
        if (!filter.isEmpty())
            dialog->selectNameFilter(filter);
        dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept");
        return true;
    }

    bool showFrame(const FrameValues &values)
    {
        return line.write(encodeFrame(values))
            && QTest::qWaitFor(
                [&] { return pointsOf(iSeries) == expectedRecord(values).i_series; }, 5000);
    }
};

// The time_s of each frame of a csv recording, in frame order.
QStringList csvTimes(const QByteArray &text)
{
    QStringList times;
    QByteArray frame;
    for (const QByteArray &row : text.split('\n').mid(1)) {
        const QList<QByteArray> fields = row.split(',');
        if (fields.size() == 7 && fields[0] != frame) {
            frame = fields[0];
            times.append(QString::fromLatin1(fields[1]));
        }
    }
    return times;
}

// Whole frames in a recording of frames of `samples` samples each.
int framesIn(const QByteArray &text, const QString &format, int samples)
{
    if (format == "raw")
        return text.size() / (8 * samples + 7);
    if (format == "csv")
        return text.isEmpty() ? 0 : (text.count('\n') - 1) / samples;
    return text.count('\n');
}

// The file a running recording of `path` writes into.
QString writingFile(const QString &path)
{
    const QFileInfo target(path);
    const QStringList parts = target.dir().entryList({target.fileName() + ".part-*"});
    return parts.size() == 1 ? target.dir().filePath(parts.first()) : QString();
}

// Writes an h5 recording of `count` frames of `samples` samples, CW and FMCW in turn; the frames.
std::vector<FrameValues> writeRecording(const QString &path, int count, int samples)
{
    std::vector<FrameValues> frames;
    Hdf5Writer writer;
    if (!writer.create(path, RecordingContext{}))
        return {};
    for (int k = 0; k < count; ++k) {
        frames.push_back(numberedFrame(k, samples, uint8_t(k % 2)));
        const QByteArray bytes = encodeFrame(frames.back());
        if (!writer.append(k * 0.1, bytes.constData(), bytes.size()))
            return {};
    }
    return writer.close() ? frames : std::vector<FrameValues>();
}

// The file checkers this process has running now (children named vazorez-h5check).
QList<qint64> runningCheckers()
{
    QList<qint64> found;
    const QString parent = QString::number(QCoreApplication::applicationPid());
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        // /proc/PID/stat: "PID (NAME) STATE PPID ..."
        const QByteArray stat = readAll("/proc/" + entry + "/stat");
        const int close = stat.lastIndexOf(')');
        if (close < 0 || !stat.mid(0, close).contains("(vazorez-h5check"))
            continue;
        if (stat.mid(close + 2).split(' ').value(1) == parent.toLatin1())
            found << entry.toLongLong();
    }
    return found;
}

// The process group of a process (/proc/PID/stat: "PID (NAME) STATE PPID PGRP ...").
qint64 processGroup(qint64 pid)
{
    const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(2).toLongLong();
}

// A field of /proc/PID/status ("SigBlk", "SigIgn", "SigCgt") as a number.
quint64 statusField(qint64 pid, const char *name)
{
    for (const QByteArray &line : readAll(QStringLiteral("/proc/%1/status").arg(pid)).split('\n'))
        if (line.startsWith(QByteArray(name) + ':'))
            return line.mid(int(qstrlen(name)) + 1).trimmed().toULongLong(nullptr, 16);
    return ~quint64(0);
}

void noteSignal(int) { }

// Every frame the window's link decodes, as its taps hear it: the wire bytes back to back.
struct DecodedFrames : FrameTap {
    std::mutex mutex;
    QByteArray bytes;
    frame_t last;
    void frameDecoded(const frame_t &record, const char *frameBytes, int length, double) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        bytes.append(frameBytes, length);
        last = record;
    }
};

// `count` words of `width` bytes from the wire's big-endian to the stream's little-endian.
QByteArray littleEndian(const QByteArray &wire, int offset, int count, int width)
{
    QByteArray words = wire.mid(offset, count * width);
    for (int k = 0; k < count; ++k)
        std::reverse(words.begin() + k * width, words.begin() + (k + 1) * width);
    return words;
}

// A user's program reading the published stream: every message it takes, by kind, and what was
// wrong with any (a message in part, a frame whose parts are not the sizes its header gives, a
// frame out of order).
struct Subscriber {
    struct Frame {
        QJsonObject header;
        QByteArray i, q, s;
    };
    zmq::context_t context;
    zmq::socket_t socket{context, zmq::socket_type::sub};
    std::map<int64_t, Frame> frames;
    std::map<int64_t, QByteArray> raw;
    std::map<int64_t, QJsonObject> targets;
    QList<QJsonObject> statuses;
    QStringList faults;

    explicit Subscriber(const QString &endpoint)
    {
        socket.set(zmq::sockopt::subscribe, "");
        socket.connect(endpoint.toStdString());
    }
    // Takes every message waiting; true, to be read inside a wait.
    bool take()
    {
        std::vector<zmq::message_t> parts;
        while (zmq::recv_multipart(socket, std::back_inserter(parts), zmq::recv_flags::dontwait)) {
            const auto part = [&parts](size_t k) {
                return k < parts.size() ? QByteArray(parts[k].data<char>(), int(parts[k].size()))
                                        : QByteArray();
            };
            const QByteArray topic = part(0);
            const QJsonObject header = QJsonDocument::fromJson(part(1)).object();
            const auto seq = int64_t(header.value("seq").toDouble(-1));
            const int n = header.value("n").toInt(-1);
            if (topic == "status" && parts.size() == 2)
                statuses.append(header);
            else if (topic == "frame" && parts.size() == 5 && part(2).size() == 2 * n
                && part(3).size() == 2 * n && part(4).size() == 4 * n
                && (frames.empty() || seq > frames.rbegin()->first))
                frames[seq] = {header, part(2), part(3), part(4)};
            else if (topic == "raw" && parts.size() == 3)
                raw[seq] = part(2);
            else if (topic == "targets" && parts.size() == 2)
                targets[seq] = header;
            else
                faults.append(QStringLiteral("%1 in %2 parts: %3")
                                  .arg(QString(topic))
                                  .arg(parts.size())
                                  .arg(QString(part(1))));
            parts.clear();
        }
        return true;
    }
    // The first status from `from` on with `event` whose `field` is `value` (any, when null); -1:
    // none yet.
    int status(const char *event, int from = 0, const char *field = nullptr,
        const QJsonValue &value = {}) const
    {
        for (int k = from; k < statuses.size(); ++k)
            if (statuses[k].value("event").toString() == QLatin1String(event)
                && (!field || statuses[k].value(field) == value))
                return k;
        return -1;
    }
};

} // namespace

class TestLabInstrument : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

private Q_SLOTS:
    void initTestCase()
    {
        watchQtWarnings(WarningWatch::ThreadsAndNotifiers);
        // The radar view's remembered profile: the test's own, not the user's.
        qputenv("XDG_CONFIG_HOME", dir.filePath("config").toLocal8Bit());
    }
    void init() { takeQtWarnings(); }
    void cleanup()
    {
        const QStringList warnings = takeQtWarnings();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
    }

    void recordWhilePausedAndFloodedKeepsEveryFrame()
    {
        // The recording runs beside the decoder: a paused or flooded display costs it nothing.
        Bench b;
        QVERIFY(b.connectAndShow());
        // The type chosen in the dialog decides the format and the name's extension.
        const QString path = dir.filePath("session.raw");
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_Record"));
        QVERIFY(b.answerDialog(dir.filePath("session"), "Raw frames (*.raw)"));
        QTRY_VERIFY2(
            b.status().contains("Recording session.raw: 0 frames"), qPrintable(b.status()));

        // A board that sends a few frames and pauses: they reach the file although none follows.
        QByteArray sent;
        FrameValues first;
        int number = 1;
        for (int samples : {16, 24, 64, 255, 16}) {
            first = numberedFrame(number++, samples, uint8_t(samples % 2));
            QVERIFY(b.showFrame(first));
            appendFrame(sent, first);
        }
        const QString writing = writingFile(path);
        QVERIFY(!writing.isEmpty());
        QTRY_COMPARE(readAll(writing), sent);
        QTRY_VERIFY2(
            b.status().contains("Recording session.raw: 5 frames"), qPrintable(b.status()));

        QVERIFY(b.chooseFromMenu(b.views.last(), "action_Pause"));
        QVERIFY(b.lab.isDisplayPaused());
        // Frames of every size while paused, some with pauses, then a flood of the smallest.
        for (int samples : {0, 1, 64, 128, 255}) {
            const FrameValues values = numberedFrame(number++, samples, uint8_t(samples % 2));
            appendFrame(sent, values);
            QVERIFY(b.line.write(encodeFrame(values)));
            QTest::qWait(30);
        }
        QByteArray flood;
        for (int k = 0; k < 3000; ++k)
            appendFrame(flood, numberedFrame(number++, 1, uint8_t(k % 2)));
        QVERIFY(b.line.write(flood));
        sent += flood;
        // While the flood arrives the recording's count is never ahead of the link's: both are
        // taken from the same moment (the recorder's used to count a read the link had not yet).
        const QRegularExpression counts("Recording session\\.raw: (\\d+) frames.*/s, (\\d+) frames,");
        for (int k = 0; k < 40; ++k) {
            QTest::qWait(15);
            const QRegularExpressionMatch match = counts.match(b.status());
            QVERIFY2(match.hasMatch() && match.captured(1).toLongLong() <= match.captured(2).toLongLong(),
                     qPrintable(b.status()));
        }
        const FrameValues newest = numberedFrame(number++, 16, 1);
        appendFrame(sent, newest);
        QVERIFY(b.line.write(encodeFrame(newest)));
        const int frames = number - 1;
        QTRY_VERIFY2(
            b.status().contains(QStringLiteral("Paused, %1 frames arrived since").arg(frames - 1))
                || b.status().contains(
                    QStringLiteral("Recording session.raw: %1 frames").arg(frames)),
            qPrintable(b.status()));
        QCOMPARE(pointsOf(b.iSeries), expectedRecord(first).i_series); // frozen
        QTRY_VERIFY2(
            b.status().contains(QStringLiteral("Recording session.raw: %1 frames").arg(frames)),
            qPrintable(b.status()));
        QVERIFY2(b.status().contains("Paused, "), qPrintable(b.status()));

        // Resuming shows the newest frame the window holds at once, and the newest of all as soon as
        // it is handed over (the recorder's count above may run ahead of the window's queue).
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_Pause"));
        QTRY_COMPARE(pointsOf(b.iSeries), expectedRecord(newest).i_series);

        // Stopping ends the file on the last whole frame: exactly the bytes of every frame sent.
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_Record"));
        QVERIFY2(
            b.status().contains(QStringLiteral("%1: %2 frames saved").arg(path).arg(frames)),
            qPrintable(b.status()));
        QCOMPARE(readAll(path), sent);

        // An h5 recording from the menu asks for a note, which the file keeps with its session.
        const QString h5 = dir.filePath("session.h5");
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_Record"));
        QVERIFY(b.answerDialog(h5, "HDF5 recording (*.h5)"));
        QInputDialog *note = nullptr;
        QTRY_VERIFY((note = b.window.findChild<QInputDialog *>("inputDialog_Note")) != nullptr
            && note->isVisible());
        note->setTextValue("corner reflector at 3 m");
        QMetaObject::invokeMethod(note, "accept");
        QTRY_VERIFY2(b.status().contains("Recording session.h5: 0 frames"), qPrintable(b.status()));
        const FrameValues noted = numberedFrame(9000, 24, 1);
        QVERIFY(b.showFrame(noted));
        // The board goes quiet: within about a second its frame is in the file all the same (it
        // used to wait for the next frame, or the end).
        QTRY_VERIFY2(b.status().contains("Recording session.h5: 1 frames"), qPrintable(b.status()));
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_Record"));
        QVERIFY2(b.status().contains(h5 + ": 1 frames saved"), qPrintable(b.status()));
        Hdf5Reader reader;
        QString error;
        QVERIFY2(reader.open(h5, &error), qPrintable(error));
        QCOMPARE(reader.attribute("note"), QStringLiteral("corner reflector at 3 m"));
        QCOMPARE(reader.attribute("source"), b.line.slavePath());
        FrameValues values;
        double seconds = -1;
        QCOMPARE(reader.frames(), int64_t(1));
        QVERIFY(reader.readFrame(0, &values, &seconds, &error));
        QCOMPARE(encodeFrame(values), encodeFrame(noted));
    }

    void spectrumHistoryFromTheMenuFollowsThePause()
    {
        Bench b;
        QVERIFY(b.connectAndShow());
        QVERIFY(b.chooseFromMenu(b.views.last(), "action_History"));
        auto *history = b.window.findChild<SpectrumHistoryWindow *>();
        QVERIFY(history);
        QTRY_VERIFY(history->isVisible());
        QVERIFY(history->isWindow()); // beside the main window, which keeps its look
        QVERIFY(b.showFrame(numberedFrame(1, 128, 0)));
        QTRY_VERIFY(history->rowsDrawn() > 0);
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_Pause"));
        QVERIFY(history->isPaused());
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_Pause"));
        QVERIFY(!history->isPaused());
        // Closing it changes nothing else.
        history->close();
        QVERIFY(b.showFrame(numberedFrame(2, 16, 1)));
        QCOMPARE(b.button->text(), QStringLiteral("disconnect"));
    }

#ifdef VAZOREZ_RADAR_VIEW
    void radarViewFromTheMenuFollowsThePauseAndRecordsItsProfile()
    {
        Bench b;
        QVERIFY(b.connectAndShow());
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_RadarView"));
        auto *view = b.window.findChild<RadarViewWindow *>();
        QVERIFY(view);
        QTRY_VERIFY(view->isVisible());
        QVERIFY(view->isWindow());
        view->applyProfile(exampleRadarProfile(), false);
        BoardModel board(SimMode::Cw, 64, 5);
        board.setRadarScene(exampleRadarProfile(), {{10.0, -7.5, 50.0}});
        QVERIFY(b.line.write(encodeFrame(board.frame(0))));
        QTRY_COMPARE(view->shownFrame(), int64_t(0));
        QVERIFY2(view->readoutText().contains("approaching"), qPrintable(view->readoutText()));
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_Pause"));
        QVERIFY(view->isPaused() && !view->isDraining());
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_Pause"));
        QVERIFY(view->isDraining());
        // A recording started with the profile in force carries it beside it once it holds
        // frames; one that got none leaves nothing beside the file it did not write.
        QString error;
        const QString empty = dir.filePath("no-frames.raw");
        QVERIFY2(b.lab.startRecording(empty, QString(), &error), qPrintable(error));
        b.lab.stopRecording();
        QVERIFY(!QFile::exists(empty) && !QFile::exists(radarSidecarPath(empty)));
        const QString path = dir.filePath("with-profile.h5");
        QVERIFY2(b.lab.startRecording(path, QString(), &error), qPrintable(error));
        QVERIFY(b.line.write(encodeFrame(board.frame(1))));
        QTRY_COMPARE(view->shownFrame(), int64_t(1));
        b.lab.stopRecording();
        RadarProfile beside;
        QCOMPARE(loadRadarSidecar(path, &beside, &error), RadarSidecar::Loaded);
        QCOMPARE(beside.carrierHz, exampleRadarProfile().carrierHz);
        // An h5 recording also keeps it in its session.
        Hdf5Reader reader;
        QVERIFY2(reader.open(path, &error), qPrintable(error));
        QCOMPARE(reader.frames(), int64_t(1));
        QCOMPARE(reader.attribute("radar_profile").toUtf8(), radarProfileJson(exampleRadarProfile()));
        // Copied alone, the h5 recording still has its profile, for the view's replay and the
        // tools (they used to need the file beside it).
        const QString alone = dir.filePath("copied-alone.h5");
        QVERIFY(QFile::copy(path, alone));
        // The view's replay has it from the replay itself, which read it as it opened the file:
        // the view's tap reads no file under the worker's locks.
        RadarProfile remembered = exampleRadarProfile();
        remembered.carrierHz = 10.525e9;
        view->applyProfile(remembered, true);
        QVERIFY(view->restoreLastProfile()); // only remembered: a recording's own replaces it
        QVERIFY2(b.lab.startReplay(alone, "max", false, &error), qPrintable(error));
        QTRY_COMPARE(view->profile().carrierHz, exampleRadarProfile().carrierHz);
        QProcess decode;
        decode.start(siblingProgram("vazorez-decode"), {alone, "--targets", "-o", dir.filePath("alone.csv")});
        QVERIFY(decode.waitForFinished(60000));
        const QByteArray said = decode.readAllStandardError();
        QVERIFY2(decode.exitCode() == 0 && said.contains("radar profile from the profile kept in"), said.constData());
        // A later recording under that name, made with no profile in force, takes the older
        // recording's profile away with it (it used to stay and be read as the new one's).
        Bench other;
        QVERIFY(other.connectAndShow());
        QVERIFY2(other.lab.startRecording(path, QString(), &error), qPrintable(error));
        QVERIFY(other.showFrame(numberedFrame(0, 16, 0)));
        other.lab.stopRecording();
        QVERIFY2(other.status().contains(path + ": 1 frames saved"), qPrintable(other.status()));
        QVERIFY(!QFile::exists(radarSidecarPath(path)));
    }
#endif

    void publishedStreamCarriesEveryFrame_data()
    {
        QTest::addColumn<int>("samples");
        QTest::addColumn<int>("frames");
        // flood: as fast as the line takes them, the subscriber not reading; radar: a radar
        // profile in force, so each frame's targets go out too.
        QTest::addColumn<bool>("flood");
        QTest::addColumn<bool>("radar");
        QTest::newRow("n = 24 at the line's pace") << 24 << 60 << false << false;
        QTest::newRow("n = 200 at the line's pace") << 200 << 12 << false << true;
        QTest::newRow("n = 255 at the line's pace") << 255 << 10 << false << false;
        QTest::newRow("a flood of 1-sample frames") << 1 << 150000 << true << false;
    }

    void publishedStreamCarriesEveryFrame()
    {
        // "Publish..." from the charts' menu: a program subscribed gets every frame the link
        // decodes, numbered without gaps, as the line carried it. One that stops reading while a
        // flood arrives loses whole frames, counted by the gaps; the viewer decodes every frame
        // all the same and never waits for it.
        QFETCH(int, samples);
        QFETCH(int, frames);
        QFETCH(bool, flood);
        QFETCH(bool, radar);
        SimulatorOptions options;
        options.mode = radar ? SimMode::Cw : SimMode::Alternate;
        options.samples = samples;
        options.count = frames;
        options.rate = flood ? SimulatorOptions::Rate::Max : SimulatorOptions::Rate::Line;
#ifdef VAZOREZ_RADAR_VIEW
        options.radarScene = radar;
        options.radar = exampleRadarProfile();
        options.targets = {{10.0, -7.5, 50.0}};
#else
        if (radar)
            QSKIP("built without the radar view");
#endif
        auto simulator = std::make_unique<Simulator>(options);
        QString port, error;
        QVERIFY2(simulator->openPseudoTerminal(&port, &error), qPrintable(error));
        DecodedFrames decoded;
        Bench b;
        b.window.link()->addTap(&decoded);
        b.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&b.window));
        const auto publishOn = [&b](const QString &endpoint) {
            QInputDialog *dialog = nullptr;
            return b.chooseFromMenu(b.views.first(), "action_Publish") && QTest::qWaitFor([&] {
                dialog = b.window.findChild<QInputDialog *>("inputDialog_Publish");
                return dialog && dialog->isVisible();
            }) && (dialog->setTextValue(endpoint), QMetaObject::invokeMethod(dialog, "accept"));
        };
        // An endpoint in use is said; the viewer goes on without publishing.
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost));
        const QString endpoint = QStringLiteral("tcp://127.0.0.1:%1").arg(taken.serverPort());
        QVERIFY(publishOn(endpoint));
        QTRY_VERIFY2(
            b.status().startsWith("cannot publish on " + endpoint + ": address already in use\n"),
            qPrintable(b.status()));
        QVERIFY(b.lab.publishingEndpoint().isEmpty());
        taken.close();
        QVERIFY(publishOn(endpoint));
        QTRY_COMPARE(b.lab.publishingEndpoint(), endpoint);
        // Subscribed once the publisher's status (once a second) arrives.
        Subscriber subscriber(endpoint);
        QTRY_VERIFY(subscriber.take() && !subscriber.statuses.isEmpty());
#ifdef VAZOREZ_RADAR_VIEW
        // Set after the start: the publisher takes the profile in force as the link opens.
        if (radar)
            b.lab.showRadarView()->applyProfile(exampleRadarProfile(), false);
#endif
        b.window.addPort(port);
        b.button->click();
        QCOMPARE(b.button->text(), QStringLiteral("disconnect"));
        std::atomic<bool> boardDone{false}, stopBoard{false};
        std::thread board([&] {
            simulator->run([&] { return stopBoard.load(); });
            boardDone = true;
        });
        const auto joinBoard = qScopeGuard([&] {
            stopBoard = true;
            if (board.joinable())
                board.join();
        });
        QTRY_VERIFY_WITH_TIMEOUT((flood || subscriber.take()) && boardDone, 120000);
        board.join();
        // Every frame the board sent was decoded: the subscriber that did not read held nothing up.
        QTRY_COMPARE(b.window.link()->status().framesDecoded, uint64_t(frames));
        QCOMPARE(simulator->stats().frames, int64_t(frames));
        QTRY_COMPARE(pointsOf(b.iSeries), decoded.last.i_series); // and the window is current
        // Read on until everything the publisher numbered has gone out: a status once a second
        // after one that counted every frame.
        int numbered = -1;
        QTRY_VERIFY_WITH_TIMEOUT(subscriber.take()
                && (numbered = subscriber.status("figures", 0, "published", frames)) >= 0
                && subscriber.status("figures", numbered + 1) >= 0,
            30000);
        const int64_t unsent = int64_t(subscriber.statuses[numbered].value("unsent").toDouble());
        // The board goes: its reason reaches the subscribers after the link's end.
        simulator.reset();
        int lost = -1;
        QTRY_VERIFY(subscriber.take() && (lost = subscriber.status("lost")) >= 0);
        QCOMPARE(subscriber.statuses[lost].value("reason").toString(),
            QStringLiteral("the device hung up (unplugged, reset or switched off)"));
        const int closed = subscriber.status("closed"), opened = subscriber.status("opened");
        QVERIFY(opened >= 0 && closed > opened && closed < lost);
        QCOMPARE(subscriber.statuses[opened].value("source").toString(), port);
        QCOMPARE(subscriber.statuses[closed].value("frames").toInt(), frames);
        QTRY_VERIFY2(
            b.status().contains(
                QStringLiteral("\nPublishing on %1%2; %3: ")
                    .arg(endpoint,
                        unsent ? QStringLiteral(", %1 frames not sent").arg(unsent) : QString(),
                        port)),
            qPrintable(b.status()));

        // Whole messages only, and each frame as the link decoded it.
        QVERIFY2(subscriber.faults.isEmpty(), qPrintable(subscriber.faults.join('\n')));
        const int length = 8 * samples + 7;
        QCOMPARE(decoded.bytes.size(), frames * length);
        for (const auto &[seq, frame] : subscriber.frames) {
            const QByteArray wire = decoded.bytes.mid(int(seq) * length, length);
            QCOMPARE(frame.header.value("n").toInt(), samples);
            QCOMPARE(frame.header.value("mode").toString(), QString(wire[2] ? "FMCW" : "CW"));
            QCOMPARE(frame.header.value("source").toString(), port);
            QCOMPARE(frame.i, littleEndian(wire, 5, samples, 2));
            QCOMPARE(frame.q, littleEndian(wire, 5 + 2 * samples, samples, 2));
            QCOMPARE(frame.s, littleEndian(wire, 5 + 4 * samples, samples, 4));
            const auto raw = subscriber.raw.find(seq); // a message of its own, lost on its own
            QVERIFY(raw != subscriber.raw.end() || flood);
            if (raw != subscriber.raw.end())
                QCOMPARE(raw->second, wire);
        }
        if (flood) {
            // It lost whole frames while it did not read: gaps in seq.
            QVERIFY(int64_t(subscriber.frames.size()) < frames);
        } else {
            QCOMPARE(int64_t(subscriber.frames.size()), int64_t(frames));
            QCOMPARE(subscriber.frames.rbegin()->first, int64_t(frames - 1));
            QCOMPARE(unsent, int64_t(0));
        }
        // The targets of every frame while the profile is in force: the walker coming closer.
        QCOMPARE(int(subscriber.targets.size()), radar ? frames : 0);
        for (const auto &[seq, targets] : subscriber.targets) {
            QVERIFY(subscriber.frames.count(seq));
            const QJsonArray found = targets.value("targets").toArray();
            QVERIFY2(
                !found.isEmpty() && found.first().toObject().value("direction") == "approaching",
                qPrintable(QJsonDocument(targets).toJson()));
        }

        // "Stop publishing on ENDPOINT": the subscribers hear it.
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_Publish"));
        QCOMPARE(b.window.findChild<QAction *>("action_Publish")->text(),
            "Stop publishing on " + endpoint);
        QTRY_VERIFY(subscriber.take() && subscriber.status("stopped") >= 0);
        QVERIFY(b.lab.publishingEndpoint().isEmpty());
        b.window.link()->removeTap(&decoded);
    }

    void writeErrorStopsTheRecordingNotTheView_data()
    {
        // FILL: a file that may grow to `limit` KiB only; KEEP: the same, where a recording
        // already lies under the name.
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("samples");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("reason");
        QTest::newRow("disk fills, csv") << "FILL"
                                         << "csv" << 64 << 40 << "File too large";
        QTest::newRow("disk fills, raw, 24 samples") << "FILL"
                                                     << "raw" << 24 << 40 << "File too large";
        QTest::newRow("disk fills, jsonl, 255 samples") << "FILL"
                                                        << "jsonl" << 255 << 40 << "File too large";
        // Nothing to write before the first frame, so it starts; nothing reaches the device.
        QTest::newRow("/dev/full, jsonl") << "/dev/full"
                                          << "jsonl" << 16 << 0 << "No space left on device";
        QTest::newRow("/dev/full, raw") << "/dev/full"
                                        << "raw" << 16 << 0 << "No space left on device";
        // HDF5 writes in blocks once a second: the frames flushed before the error stay readable.
        QTest::newRow("disk fills, h5") << "FILL"
                                        << "h5" << 64 << 200 << "File too large";
        // No frame reached the file before the disk gave out: the older recording stays whole
        // (it used to become an empty one).
        QTest::newRow("disk full at once, csv, an older file stays") << "KEEP"
                                                                     << "csv" << 255 << 1 << "File too large";
        QTest::newRow("disk full at once, h5, an older file stays") << "KEEP"
                                                                    << "h5" << 64 << 8 << "File too large";
        QTest::newRow("disk full at once, raw, no file made") << "NEW"
                                                              << "raw" << 255 << 1 << "File too large";
    }

    void writeErrorStopsTheRecordingNotTheView()
    {
        QFETCH(QString, path);
        QFETCH(QString, format);
        QFETCH(int, samples);
        QFETCH(int, limit);
        QFETCH(QString, reason);
        Bench b;
        QVERIFY(b.connectAndShow());
        QString error;
        const bool keeping = path == "KEEP";
        const bool fresh = path == "NEW";
        const bool filling = path == "FILL" || keeping || fresh;
        if (filling)
            path = dir.filePath(QStringLiteral("filling-%1-%2.%3").arg(samples).arg(limit).arg(format));
        const QByteArray older = "an older recording\n";
        if (keeping) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(older) == older.size());
        }
        QVERIFY(b.lab.startRecording(path, format, &error));
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        rlimit small = before;
        small.rlim_cur = rlim_t(limit) * 1024;
        if (filling)
            setrlimit(RLIMIT_FSIZE, &small);
        int number = 0;
        while (!b.status().contains("stopped after") && number < 400) {
            QVERIFY(b.showFrame(numberedFrame(number++, samples, 0)));
            QTest::qWait(number % 10 == 0 ? 130 : 0); // pauses, as a board makes them
        }
        setrlimit(RLIMIT_FSIZE, &before);
        const auto said
            = QRegularExpression("recording to (\\S+) stopped after (\\d+) frames: ([^;\\n]+)")
                  .match(b.status());
        QVERIFY2(said.hasMatch(), qPrintable(b.status()));
        QCOMPARE(said.captured(1), path);
        QVERIFY2(said.captured(3).endsWith(reason), qPrintable(said.captured(3)));
        QVERIFY(b.showFrame(numberedFrame(1000, 16, 0))); // viewing goes on
        QCOMPARE(b.button->text(), QStringLiteral("disconnect"));
        if (keeping || fresh) {
            QCOMPARE(said.captured(2), QStringLiteral("0"));
            const QString untouched = keeping ? QStringLiteral("%1 left as it was").arg(path)
                                              : QStringLiteral("no %1 was made").arg(path);
            QVERIFY2(b.status().contains("no frame reached the file, " + untouched),
                qPrintable(b.status()));
            if (keeping)
                QCOMPARE(readAll(path), older);
            else
                QVERIFY(!QFileInfo::exists(path));
            QCOMPARE(QDir(dir.path()).entryList({"*.part*"}), QStringList());
            return;
        }
        // The count said is what the file holds: what was written before the disk gave out.
        if (format == "h5") {
            const auto kept = QRegularExpression("the file keeps the (\\d+) frames").match(b.status());
            QVERIFY2(kept.hasMatch(), qPrintable(b.status()));
            QCOMPARE(said.captured(2), kept.captured(1));
            CaptureReader reader(path);
            RecordedFrame frame;
            int64_t frames = 0;
            while (reader.next(frame)) {
                QCOMPARE(frame.record, expectedRecord(numberedFrame(int(frames), samples, 0)));
                ++frames;
            }
            QVERIFY2(!reader.failed(), qPrintable(reader.errorString()));
            QCOMPARE(frames, kept.captured(1).toLongLong());
            QVERIFY(frames > 0);
            return;
        }
        const QByteArray held = filling ? readAll(path) : QByteArray();
        QCOMPARE(said.captured(2).toInt(), framesIn(held, format, samples));
        if (filling) {
            QVERIFY(said.captured(2).toInt() > 0);
            QVERIFY(format != "csv" || held.startsWith("frame,time_s,mode,k,i,q,s\n0,"));
        }
        if (QTest::currentDataTag() != QLatin1String("disk fills, csv"))
            return;

        // A full disk from the start: the recording does not start, and says why.
        QVERIFY(!b.lab.startRecording("/dev/full", "csv", &error));
        QVERIFY2(error == "cannot record to /dev/full: No space left on device", qPrintable(error));

        // A recording that cannot start says why and leaves an existing file alone.
        const QString kept = dir.filePath("kept.csv");
        QFile file(kept);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious\n");
        file.close();
        QVERIFY(!b.lab.startRecording(dir.filePath("no/such/folder/x.csv"), QString(), &error));
        QVERIFY2(error.startsWith("cannot record to "), qPrintable(error));
        QCOMPARE(readAll(kept), QByteArray("precious\n"));
        // Nor does a recording in which no frame arrived.
        QVERIFY(b.lab.startRecording(kept, QString(), &error));
        b.lab.stopRecording();
        QVERIFY2(
            b.status().contains("nothing recorded: no frame arrived, " + kept + " left as it was"),
            qPrintable(b.status()));
        QCOMPARE(readAll(kept), QByteArray("precious\n"));
    }

    void picturesAndTheShownFrame()
    {
        Bench b;
        QVERIFY(b.connectAndShow());
        // Nothing on the charts yet: said at once, before a file is asked for.
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_SaveFrame"));
        QTRY_VERIFY2(b.status().startsWith("no frame is shown yet"), qPrintable(b.status()));
        QVERIFY(b.window.findChildren<QFileDialog *>("fileDialog_Save").isEmpty());
        BoardModel board(SimMode::Fmcw, 128, 5); // what a board shows: a target's beat tone
        const FrameValues first = board.frame(0);
        const FrameValues values = board.frame(1);
        QString error;
        QVERIFY(b.lab.startRecording(dir.filePath("while-picturing.csv"), QString(), &error));
        QVERIFY(b.showFrame(first));
        QVERIFY(b.showFrame(values));
        QTRY_VERIFY(b.status().contains(": 2 frames")); // the status bar shows the recording

        const QString picture = dir.filePath("window.png");
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_SavePicture"));
        QVERIFY(b.answerDialog(picture));
        QTRY_VERIFY2(b.status().startsWith("Saved the window to "), qPrintable(b.status()));
        // VAZOREZ_KEEP_PICTURES=DIR keeps a copy to look at.
        if (qEnvironmentVariableIsSet("VAZOREZ_KEEP_PICTURES"))
            QFile::copy(picture,
                QDir(qEnvironmentVariable("VAZOREZ_KEEP_PICTURES")).filePath("lab-window.png"));
        const QImage image(picture);
        QCOMPARE(image.size(), b.window.grab().size());
        // Both chart areas hold more than one colour: axes, grid and the plotted series.
        for (QChartView *view : b.views) {
            const QImage part
                = image.copy(QRect(view->mapTo(&b.window, QPoint(0, 0)), view->size()));
            QSet<QRgb> colours;
            for (int y = 0; y < part.height(); y += 3)
                for (int x = 0; x < part.width(); x += 3)
                    colours.insert(part.pixel(x, y));
            QVERIFY2(colours.size() > 10, qPrintable(view->chart()->title() + " is blank"));
        }
        const QString chart = dir.filePath("fft.png");
        QVERIFY(b.chooseFromMenu(b.views.last(), "action_SaveChartPicture"));
        QVERIFY(b.answerDialog(chart));
        QTRY_COMPARE(QImage(chart).size(), b.views.last()->grab().size());

        const QString frame = dir.filePath("frame.csv");
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_SaveFrame"));
        QVERIFY(b.answerDialog(frame));
        QTRY_VERIFY(QFileInfo::exists(frame));
        const QList<QByteArray> rows = readAll(frame).split('\n');
        QCOMPARE(rows.first(), QByteArray("frame,time_s,mode,k,i,q,s"));
        QCOMPARE(rows.size(), 1 + 128 + 1);
        // Under its own number and time in the link, as a recording of the link has it: the second
        // frame, after the first (it used to be frame 0 at 0 s).
        const QList<QByteArray> firstRow = rows[1].split(',');
        QCOMPARE(firstRow[0], QByteArray("1"));
        const double seconds = firstRow[1].toDouble();
        QVERIFY2(seconds > 0.0 && seconds < 60.0, firstRow[1].constData());
        for (int k = 0; k < 128; ++k) {
            const QByteArray expected = "1," + firstRow[1] + ",FMCW," + QByteArray::number(k) + ','
                + QByteArray::number(values.i[size_t(k)]) + ','
                + QByteArray::number(values.q[size_t(k)]) + ','
                + QByteArray::number(values.s[size_t(k)]);
            QCOMPARE(rows[k + 1], expected);
        }

        // Only PNG: Qt's SVG writer would let a series run across the whole chart.
        QVERIFY(!b.lab.savePicture(dir.filePath("window.svg"), &b.window, &error));
        QVERIFY2(error.endsWith("give " + dir.filePath("window.svg") + " the extension .png"),
            qPrintable(error));
        QVERIFY(!QFileInfo::exists(dir.filePath("window.svg")));
        QVERIFY(!b.lab.savePicture(dir.filePath("no/such/folder/x.png"), &b.window, &error));
        QVERIFY2(error.startsWith("cannot write "), qPrintable(error));
    }

    void replayBarMovesThroughARecording_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("h5") << "h5"; // frames 0.1 s apart
        QTest::newRow("raw") << "raw"; // junk between some frames; times from the line rate
    }

    void replayBarMovesThroughARecording()
    {
        QFETCH(QString, format);
        // An hour's worth of frames at the line's pace (40,000) of 24 and 64 samples, CW and FMCW:
        // a file the replay indexes while it plays.
        constexpr int kCount = 40000;
        const QString path = dir.filePath("moving." + format);
        std::vector<FrameValues> frames;
        std::vector<double> times;
        if (format == "h5") {
            Hdf5Writer writer;
            QVERIFY2(writer.create(path, RecordingContext{}), qPrintable(writer.errorString()));
            for (int k = 0; k < kCount; ++k) {
                frames.push_back(numberedFrame(k, k % 2 ? 24 : 64, uint8_t(k % 2)));
                const QByteArray bytes = encodeFrame(frames.back());
                times.push_back(k * 0.1);
                QVERIFY(writer.append(times.back(), bytes.constData(), bytes.size()));
            }
            QVERIFY2(writer.close(), qPrintable(writer.errorString()));
        } else {
            QByteArray dump;
            for (int k = 0; k < kCount; ++k) {
                frames.push_back(numberedFrame(k, k % 2 ? 24 : 64, uint8_t(k % 2)));
                if (k % 7 == 3)
                    dump += QByteArray::fromHex("00A2E00000FF1122");
                appendFrame(dump, frames.back());
                times.push_back(LineSettings::secondsFor(dump.size()));
            }
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(dump) == dump.size());
        }
        Bench b;
        b.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&b.window));
        QVERIFY(!b.window.findChild<ReplayBar *>()); // only a replay has the bar
        QString error;
        QVERIFY2(b.lab.startReplay(path, "line", false, &error), qPrintable(error));
        auto *bar = b.window.findChild<ReplayBar *>("toolBar_Replay");
        QVERIFY(bar && bar->isVisible());
        const auto shows = [&](int k) {
            return QTest::qWaitFor(
                [&] {
                    return pointsOf(b.iSeries) == expectedRecord(frames[size_t(k)]).i_series;
                },
                5000);
        };
        // It plays at once; the bar says how far the index has got and moves once it is whole.
        auto *position = bar->findChild<QLabel *>("label_ReplayPosition");
        const QRegularExpression indexing(" indexing\u2026 (\\d+) %");
        QVERIFY2(indexing.match(position->text()).hasMatch(), qPrintable(position->text()));
        QVERIFY(indexing.match(position->text()).captured(1).toInt() < 100);
        QVERIFY(!bar->canMove() && !bar->findChild<QSlider *>("slider_Replay")->isEnabled());
        QTest::keyClick(&b.window, Qt::Key_End); // not yet
        QVERIFY(shows(0));
        QTRY_VERIFY_WITH_TIMEOUT(bar->canMove(), 20000);
        QVERIFY(bar->findChild<QSlider *>("slider_Replay")->isEnabled());

        // The keys: hold, then Home, a step forward three times and one back, End.
        QTest::keyClick(&b.window, Qt::Key_Space);
        QVERIFY(!bar->isPlaying());
        QTest::keyClick(&b.window, Qt::Key_Home);
        QVERIFY(shows(0));
        for (int k = 0; k < 3; ++k)
            QTest::keyClick(&b.window, Qt::Key_Right);
        QVERIFY(shows(3));
        QTest::keyClick(&b.window, Qt::Key_Left);
        QVERIFY(shows(2));
        QTest::keyClick(&b.window, Qt::Key_End);
        QVERIFY(shows(kCount - 1));
        // Held on its last frame the replay does not end.
        QTest::qWait(200);
        QVERIFY(b.window.findChild<ReplayBar *>());

        // With the time box focused both boxes follow the frame shown (the time used to stay put
        // until the box lost focus), and Home and End move the replay, not the text cursor.
        auto *frameBox = bar->findChild<QSpinBox *>("spinBox_Frame");
        auto *timeBox = bar->findChild<QDoubleSpinBox *>("doubleSpinBox_Time");
        const auto boxesShow = [&](int k) {
            return shows(k) && frameBox->value() == k
                && timeBox->value() == std::round(times[size_t(k)] * 1000) / 1000;
        };
        const auto boxes = [&] {
            return QStringLiteral("at frame %1; the boxes say %2 and %3")
                .arg(bar->position())
                .arg(frameBox->text(), timeBox->text());
        };
        b.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&b.window));
        timeBox->setFocus();
        QTRY_VERIFY(timeBox->hasFocus());
        QTest::keyClick(timeBox, Qt::Key_Home);
        QVERIFY2(boxesShow(0), qPrintable(boxes()));
        auto *forward = bar->findChild<QToolButton *>("toolButton_StepForward");
        for (int k = 1; k <= 3; ++k) {
            forward->click();
            QVERIFY2(boxesShow(k), qPrintable(boxes()));
        }
        // What the user types stays while the frames move, until they finish it.
        timeBox->selectAll();
        const QString typed = QString(QLatin1Char('1')) + QLocale().decimalPoint() + QLatin1Char('5');
        QTest::keyClicks(timeBox, typed);
        forward->click();
        QVERIFY(shows(4));
        QCOMPARE(timeBox->text(), typed);
        QCOMPARE(frameBox->value(), 4);
        QTest::keyClick(timeBox, Qt::Key_Return);
        const auto upTo = int(std::upper_bound(times.begin(), times.end(), 1.5) - times.begin()) - 1;
        QVERIFY2(boxesShow(upTo), qPrintable(boxes()));
        QVERIFY(timeBox->hasFocus());
        QTest::keyClick(timeBox, Qt::Key_End);
        QVERIFY2(boxesShow(kCount - 1), qPrintable(boxes()));
        frameBox->setFocus();
        QTRY_VERIFY(frameBox->hasFocus());
        QTest::keyClick(frameBox, Qt::Key_Home);
        QVERIFY2(boxesShow(0), qPrintable(boxes()));
        QTest::keyClick(frameBox, Qt::Key_End);
        QVERIFY2(boxesShow(kCount - 1), qPrintable(boxes()));

        // A frame number, a time, the slider.
        frameBox->setValue(123);
        QVERIFY(shows(123));
        timeBox->setValue(times[200] + 0.0004);
        emit timeBox->editingFinished();
        QVERIFY(shows(200)); // the last frame at or before the time
        auto *slider = bar->findChild<QSlider *>("slider_Replay");
        slider->setSliderPosition(57);
        emit slider->sliderMoved(57);
        QVERIFY(shows(57));
        QTRY_VERIFY2(statusText(b.window).contains(
                         QStringLiteral("frame 57 (0 to %1)").arg(kCount - 1)),
            qPrintable(statusText(b.window))); // the status bar counts as the bar does
        QCOMPARE(frameBox->value(), 57);
        QCOMPARE(timeBox->value(), std::round(times[57] * 1000) / 1000);
        QCOMPARE(bar->findChild<QLabel *>("label_ReplayPosition")->text(),
            QStringLiteral(" of %1 frames, %2 s").arg(kCount).arg(times.back(), 0, 'f', 3));

        // Play goes on from the frame shown, at the pace chosen.
        bar->findChild<QComboBox *>("comboBox_Rate")->setCurrentIndex(3); // 25 frames/s
        QTest::keyClick(&b.window, Qt::Key_Space);
        QVERIFY(bar->isPlaying());
        // (A raw file's junk before frame 59 holds the receive rules back a moment, as on a line.)
        QTRY_VERIFY(bar->position() > 60);
        QTRY_VERIFY(pointsOf(b.iSeries).value(0).y() > 60); // frames number their first I

        // A replay closed while it indexes ends cleanly: the index goes with the replay.
        std::weak_ptr<const FrameIndex> index;
        {
            MainWindow window;
            LabInstrument lab(&window);
            QVERIFY2(lab.startReplay(path, "line", false, &error), qPrintable(error));
            auto *indexingBar = window.findChild<ReplayBar *>("toolBar_Replay");
            QVERIFY(indexingBar && !indexingBar->canMove());
            index = indexingBar->frameIndex();
        }
        QTRY_VERIFY(index.expired());
    }

    void recordingAReplayKeepsTheFilesTimes()
    {
        // An h5 recording played at full speed into a csv recording: the csv has the file's times,
        // and the bar goes with the link.
        const QString path = dir.filePath("timed.h5");
        {
            Hdf5Writer writer;
            QVERIFY(writer.create(path, RecordingContext{}));
            for (int k = 0; k < 20; ++k) {
                const QByteArray bytes = encodeFrame(numberedFrame(k, 16, 0));
                QVERIFY(writer.append(1000.0 + k * 0.25, bytes.constData(), bytes.size()));
            }
            QVERIFY(writer.close());
        }
        MainWindow window;
        LabInstrument lab(&window);
        const QString copy = dir.filePath("timed.csv");
        QString error;
        QVERIFY(lab.startRecording(copy, QString(), &error));
        QVERIFY2(lab.startReplay(path, "max", false, &error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(statusText(window).contains("finished: 20 frames"), 10000);
        QVERIFY(!window.findChild<ReplayBar *>());
        // The link's end says what its recording saved, in the message on show (it used to say
        // nothing of it there).
        QVERIFY2(statusMessage(window).endsWith(
                     "finished: 20 frames; " + copy + ": 20 frames saved"),
            qPrintable(statusText(window)));
        QStringList times;
        for (const QByteArray &line : readAll(copy).split('\n'))
            if (line.endsWith(",0,") || line.contains(",CW,0,"))
                times << QString::fromLatin1(line.split(',').value(1));
        QStringList expected;
        for (int k = 0; k < 20; ++k)
            expected << QString::number(1000.0 + k * 0.25, 'f', 6);
        QCOMPARE(times, expected);

        // A time that is no time would stall the pace: such a file is refused, saying where.
        const QString untimed = dir.filePath("untimed.h5");
        {
            Hdf5Writer writer;
            QVERIFY(writer.create(untimed, RecordingContext{}));
            const QByteArray bytes = encodeFrame(numberedFrame(0, 16, 0));
            QVERIFY(writer.append(0.0, bytes.constData(), bytes.size()));
            QVERIFY(writer.append(std::nan(""), bytes.constData(), bytes.size()));
            QVERIFY(writer.close());
        }
        QVERIFY(!lab.startReplay(untimed, "line", false, &error));
        QCOMPARE(
            error, untimed + " is a damaged VazoRez recording: time_s of frame 1 is not a time");
    }

    void h5ReadsBesideAWriterOnAnotherThread_data()
    {
        QTest::addColumn<int>("samples");
        QTest::newRow("24 samples") << 24;
        QTest::newRow("128 samples") << 128;
        QTest::newRow("255 samples") << 255;
    }

    void h5ReadsBesideAWriterOnAnotherThread()
    {
        // The viewer records its link as h5 on the worker's thread while the user opens h5
        // recordings: every open and read succeeds. The file's check used to be a copy of this
        // process, made while the writer held libhdf5's lock; the copy then waited for it for ever
        // and the file was called damaged.
        QFETCH(int, samples);
        const QString path = dir.filePath(QStringLiteral("opened-%1.h5").arg(samples));
        const std::vector<FrameValues> frames = writeRecording(path, 300, samples);
        QCOMPARE(frames.size(), size_t(300));
        std::atomic<bool> stop{false};
        std::atomic<int64_t> written{0};
        QString writeError;
        std::thread recorder([&] {
            const QByteArray bytes = encodeFrame(numberedFrame(1, 255 - samples + 24, 1));
            Hdf5Writer writer;
            if (!writer.create(
                    dir.filePath(QStringLiteral("live-%1.h5").arg(samples)), RecordingContext{})) {
                writeError = writer.errorString();
                written = -1;
                return;
            }
            for (int64_t k = 0; !stop.load(); ++k) {
                // A flush a dozen frames, as a second of the line's frames.
                if (!writer.append(k * 0.09, bytes.constData(), bytes.size())
                    || (k % 12 == 11 && !writer.flush())) {
                    writeError = writer.errorString();
                    break;
                }
                written = k + 1;
            }
            if (!writer.close() && writeError.isEmpty())
                writeError = writer.errorString();
        });
        const auto stopRecorder = [&] {
            stop = true;
            if (recorder.joinable())
                recorder.join();
        };
        const auto stopOnFailure = qScopeGuard(stopRecorder);
        // The writer is inside the library more often than not from here on.
        QTRY_VERIFY(written.load() > 100 || written.load() < 0);
        for (int open = 0; open < 20; ++open) {
            Hdf5Reader reader;
            QString error;
            QVERIFY2(reader.open(path, &error), qPrintable(QString::number(open) + ": " + error));
            QCOMPARE(reader.frames(), int64_t(frames.size()));
            // Forward for some opens, every seventh frame from the back for others: reads wait
            // for the check of their own block.
            for (int64_t k = 0; k < reader.frames(); ++k) {
                const int64_t frame
                    = open % 2 ? reader.frames() - 1 - (k * 7) % reader.frames() : k;
                FrameValues values;
                double seconds = -1;
                QVERIFY2(reader.readFrame(frame, &values, &seconds, &error), qPrintable(error));
                QCOMPARE(encodeFrame(values), encodeFrame(frames[size_t(frame)]));
                QCOMPARE(seconds, frame * 0.1);
            }
        }
        const int64_t writtenMeanwhile = written.load();
        stopRecorder();
        QVERIFY2(writeError.isEmpty(), qPrintable(writeError));
        QVERIFY(writtenMeanwhile > 100);
    }

    void fileCheckStartsClean()
    {
        // The file check is a process of its own, started afresh: it keeps none of this process's
        // descriptors (a link closed here would stay connected while it runs), takes signals as a
        // program does by default and is not sent the terminal's Ctrl-C (which a copy of this
        // process handled a second time).
        const QString path = dir.filePath("checked.h5");
        QCOMPARE(writeRecording(path, 40000, 24).size(), size_t(40000));
        int ends[2];
        QVERIFY(::pipe(ends) == 0); // with no close-on-exec, as a careless library leaves one
        // A stop signal handled, another ignored, a third blocked, as a program may have them.
        struct sigaction handled { };
        struct sigaction before { };
        struct sigaction ignoring { };
        struct sigaction hangUpBefore { };
        handled.sa_handler = noteSignal;
        ignoring.sa_handler = SIG_IGN;
        QVERIFY(::sigaction(SIGINT, &handled, &before) == 0);
        QVERIFY(::sigaction(SIGHUP, &ignoring, &hangUpBefore) == 0);
        sigset_t quiet;
        sigset_t maskBefore;
        sigemptyset(&quiet);
        sigaddset(&quiet, SIGUSR2);
        QVERIFY(::pthread_sigmask(SIG_BLOCK, &quiet, &maskBefore) == 0);
        const auto restore = qScopeGuard([&] {
            ::pthread_sigmask(SIG_SETMASK, &maskBefore, nullptr);
            ::sigaction(SIGINT, &before, nullptr);
            ::sigaction(SIGHUP, &hangUpBefore, nullptr);
            ::close(ends[0]);
            ::close(ends[1]);
        });
        // The check reads on ahead of open() in its own time: it is caught while it runs.
        bool caught = false;
        for (int attempt = 0; attempt < 20 && !caught; ++attempt) {
            Hdf5Reader reader;
            QString error;
            QVERIFY2(reader.open(path, &error), qPrintable(error));
            const QList<qint64> checkers = runningCheckers();
            if (checkers.size() != 1 || ::kill(pid_t(checkers.first()), SIGSTOP) != 0)
                continue;
            const qint64 checker = checkers.first();
            // Beyond the standard three, only the file it reads.
            QStringList descriptors;
            const QDir open(QStringLiteral("/proc/%1/fd").arg(checker));
            for (const QString &number :
                open.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
                descriptors << (number.toInt() <= 2
                        ? number
                        : QFileInfo(open.filePath(number)).symLinkTarget());
            const quint64 caughtSignals = statusField(checker, "SigCgt");
            const quint64 blocked = statusField(checker, "SigBlk");
            const quint64 ignored = statusField(checker, "SigIgn");
            const qint64 group = processGroup(checker);
            ::kill(pid_t(checker), SIGCONT);
            if (descriptors.isEmpty())
                continue; // it ended between the two looks
            caught = true;
            QCOMPARE(
                descriptors, QStringList({"0", "1", "2", QFileInfo(path).canonicalFilePath()}));
            const quint64 interrupt = quint64(1) << (SIGINT - 1);
            QCOMPARE(caughtSignals & interrupt, quint64(0));
            QCOMPARE(ignored & (interrupt | quint64(1) << (SIGHUP - 1)), quint64(0));
            QCOMPARE(blocked, quint64(0));
            // The terminal's Ctrl-C is this program's to handle, not the checker's to die of.
            QCOMPARE(group, checker);
            // Its reports come all the same.
            QTRY_COMPARE_WITH_TIMEOUT(reader.framesChecked(100), int64_t(40000), 60000);
            // The last frame checked comes a moment before the checker's end, longer on a loaded
            // machine.
            QTRY_VERIFY_WITH_TIMEOUT(reader.checkOver(), 60000);
            QVERIFY(reader.checkError().isEmpty());
        }
        QVERIFY(caught);
    }

    void replayOfACaptureEqualsTheCapture()
    {
        // A line dump with junk and broken frames, played in the window at full speed while it is
        // recorded as raw frames: the recording holds exactly the good frames of the dump.
        QByteArray dump, good;
        QStringList fileTimes; // when each frame's last byte comes at the line's rate
        for (int k = 0; k < 40; ++k) {
            const FrameValues values = numberedFrame(k, k % 3 == 0 ? 16 : 128, uint8_t(k % 2));
            if (k % 7 == 3)
                dump += QByteArray::fromHex("00A2E00000FF1122");
            appendFrame(dump, values);
            appendFrame(good, values);
            fileTimes << QString::number(LineSettings::secondsFor(dump.size()), 'f', 6);
        }
        const QString source = dir.filePath("line.dump");
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(dump);
        file.close();

        MainWindow window;

        LabInstrument lab(&window);
        const QString copy = dir.filePath("replayed.raw");
        QString error;
        QVERIFY(lab.startRecording(copy, QString(), &error));
        QVERIFY2(lab.startReplay(source, "max", false, &error), qPrintable(error));
        auto *button = window.findChild<QPushButton *>("pushButton_Connect");
        QCOMPARE(button->text(), QStringLiteral("disconnect"));
        QTRY_VERIFY_WITH_TIMEOUT(
            statusText(window).startsWith("Replay of " + source + " finished: 40 frames"), 10000);
        QCOMPARE(button->text(), QStringLiteral("connect"));
        QCOMPARE(readAll(copy), good);

        // "connect" with the recording selected plays it again, here in frames per second. A
        // recording started on the way keeps the frames' own times in the file.
        QVERIFY(lab.startReplay(source, "40", false, &error));
        QTRY_VERIFY(statusText(window).contains(" (0 to 39)"));
        QTest::qWait(300); // somewhere on the way: about the twelfth frame
        const QString times = dir.filePath("midway.csv");
        QVERIFY(lab.startRecording(times, QString(), &error));
        QTRY_VERIFY_WITH_TIMEOUT(statusText(window).contains("finished: 40 frames"), 10000);
        const QStringList recorded = csvTimes(readAll(times));
        QVERIFY2(recorded.size() > 0 && recorded.size() < 40, qPrintable(recorded.join(' ')));
        QCOMPARE(recorded.join(' '), fileTimes.mid(40 - recorded.size()).join(' '));

        // A rate that would wait for days between frames is refused; the slowest allowed one
        // waits in steps a timer can take.
        QVERIFY(!lab.startReplay(source, "1e-7", false, &error));
        QVERIFY2(error.contains("0.01"), qPrintable(error));
        ReplaySource slow(source, ReplaySource::Rate::Fixed, 0.01, false);
        QVERIFY2(slow.open(&error), qPrintable(error));
        QByteArray bytes;
        const int wait = slow.read(bytes, 1 << 16);
        QCOMPARE(bytes, dump.left(8 * 16 + 7)); // the first frame at once
        QVERIFY2(wait >= 1 && wait <= 1000, qPrintable(QString::number(wait)));

        // Files that cannot be played say why, and change nothing.
        QFile junk(dir.filePath("notes.txt"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("frame,time_s,mode\n1,2,3\n");
        junk.close();
        QVERIFY(!lab.startReplay(junk.fileName(), "line", false, &error));
        QCOMPARE(error, junk.fileName() + " holds no frame");
        QVERIFY(!lab.startReplay(dir.filePath("missing.raw"), "line", false, &error));
        QVERIFY2(error.startsWith("cannot read " + dir.filePath("missing.raw")), qPrintable(error));
        // A pipe with nobody writing, or a device, would hold the window or never end.
        const QString fifo = dir.filePath("line.fifo");
        QCOMPARE(mkfifo(qPrintable(fifo), 0600), 0);
        for (const QString &notAFile : {dir.path(), fifo, QStringLiteral("/dev/zero")}) {
            QVERIFY(!lab.startReplay(notAFile, "line", false, &error));
            QVERIFY2(error.contains(notAFile + ": not a regular file"), qPrintable(error));
        }
        // The viewer's own csv recording (it used to say it "holds no frame").
        QVERIFY(!lab.startReplay(times, "line", false, &error));
        QVERIFY2(error.contains("a csv recording is not played by the viewer")
                     && error.endsWith("-o midway.h5 makes an h5 recording of it"),
                 qPrintable(error));
        QCOMPARE(button->text(), QStringLiteral("connect"));
    }
};

QTEST_MAIN(TestLabInstrument)
#include "tst_labinstrument.moc"

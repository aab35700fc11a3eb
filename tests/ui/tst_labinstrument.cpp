// SPDX-License-Identifier: MIT
// The window as a lab instrument, driven as a user drives it: the charts' context menu (pause,
// pictures, the shown frame, recording), the status bar, and replay into the window. A pseudo-
// terminal plays the board; the window is real, on the offscreen platform.
#include "boardmodel.h"
#include "framesupport.h"
#include "mainwindow.h"
#include "pseudoterminal.h"
#include "qtwarnings.h"
#ifdef VAZOREZ_RADAR_VIEW
#include "profilefile.h"
#include "radartruth.h"
#include "radarviewwindow.h"
#endif
#include "spectrumhistorywindow.h"
#include "statusreport.h"

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QXYSeries>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using namespace QtCharts;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What the status bar says: the message on show, then the link's whole line.
QString statusText(const MainWindow &window)
{
    auto *line = window.findChild<ElidedLabel *>("label_LinkStatus");
    return window.statusBar()->currentMessage() + '\n' + (line ? line->fullText() : QString());
}

// A shown, connected window and the board behind it.
struct Bench {
    PseudoTerminal line;
    MainWindow window;
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

    // Answers the save dialog that the last menu choice opened.
    bool answerDialog(const QString &path)
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
        const QString path = dir.filePath("session.raw");
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_Record"));
        QVERIFY(b.answerDialog(path));
        QTRY_VERIFY2(
            b.status().contains("Recording session.raw: 0 frames"), qPrintable(b.status()));

        QByteArray sent;
        const FrameValues first = numberedFrame(1, 16, 0);
        QVERIFY(b.showFrame(first));
        appendFrame(sent, first);

        QVERIFY(b.chooseFromMenu(b.views.last(), "action_Pause"));
        QVERIFY(b.window.isDisplayPaused());
        // Frames of every size while paused, some with pauses, then a flood of the smallest.
        int number = 2;
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
            b.status().contains(QStringLiteral("recorded %1 frames to %2").arg(frames).arg(path)),
            qPrintable(b.status()));
        QCOMPARE(readAll(path), sent);
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
        // A recording started with the profile in force carries it beside it.
        const QString path = dir.filePath("with-profile.raw");
        QString error;
        QVERIFY2(b.window.startRecording(path, QString(), &error), qPrintable(error));
        RadarProfile beside;
        QCOMPARE(loadRadarSidecar(path, &beside, &error), RadarSidecar::Loaded);
        QCOMPARE(beside.carrierHz, exampleRadarProfile().carrierHz);
        b.window.stopRecording();
    }
#endif

    void writeErrorStopsTheRecordingNotTheView()
    {
        Bench b;
        QVERIFY(b.connectAndShow());
        QString error;
        // The disk fills up half-way: files may grow to 40 KiB from here on.
        const QString path = dir.filePath("filling.csv");
        QVERIFY(b.window.startRecording(path, "csv", &error));
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        rlimit small = before;
        small.rlim_cur = 40 * 1024;
        setrlimit(RLIMIT_FSIZE, &small);
        int number = 0;
        while (!b.status().contains("stopped after") && number < 400) {
            QVERIFY(b.showFrame(numberedFrame(number++, 64, 0)));
            QTest::qWait(
                number % 10 == 0 ? 260 : 0); // the recorder hands its data over every 250 ms
        }
        setrlimit(RLIMIT_FSIZE, &before);
        QVERIFY2(b.status().contains("recording to " + path + " stopped after")
                && b.status().contains("File too large"),
            qPrintable(b.status()));
        QVERIFY(b.showFrame(numberedFrame(1000, 16, 0))); // viewing goes on
        QCOMPARE(b.button->text(), QStringLiteral("disconnect"));
        // What was written before the disk gave out is kept.
        QVERIFY(readAll(path).startsWith("frame,time_s,mode,k,i,q,s\n0,"));

        // A full disk from the start: the recording does not start, and says why.
        QVERIFY(!b.window.startRecording("/dev/full", "csv", &error));
        QVERIFY2(error == "cannot record to /dev/full: No space left on device", qPrintable(error));

        // A recording that cannot start says why and leaves an existing file alone.
        const QString kept = dir.filePath("kept.csv");
        QFile file(kept);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious\n");
        file.close();
        QVERIFY(!b.window.startRecording(dir.filePath("no/such/folder/x.csv"), QString(), &error));
        QVERIFY2(error.startsWith("cannot record to "), qPrintable(error));
        QCOMPARE(readAll(kept), QByteArray("precious\n"));
        // Nor does a recording in which no frame arrived.
        QVERIFY(b.window.startRecording(kept, QString(), &error));
        b.window.stopRecording();
        QVERIFY2(b.status().contains("nothing recorded: no frame arrived, " + kept + " left as it was"), qPrintable(b.status()));
        QCOMPARE(readAll(kept), QByteArray("precious\n"));
    }

    void picturesAndTheShownFrame()
    {
        Bench b;
        QVERIFY(b.connectAndShow());
        BoardModel board(SimMode::Fmcw, 128, 5); // what a board shows: a target's beat tone
        const FrameValues first = board.frame(0);
        const FrameValues values = board.frame(1);
        QString error;
        QVERIFY(b.window.startRecording(dir.filePath("while-picturing.csv"), QString(), &error));
        QVERIFY(b.showFrame(first));
        QVERIFY(b.showFrame(values));
        QTRY_VERIFY(b.status().contains(": 2 frames")); // the status bar shows the recording

        const QString picture = dir.filePath("window.png");
        QVERIFY(b.chooseFromMenu(b.views.first(), "action_SavePicture"));
        QVERIFY(b.answerDialog(picture));
        QTRY_VERIFY2(b.status().startsWith("Saved the window to "), qPrintable(b.status()));
        // VAZOREZ_KEEP_PICTURES=DIR keeps a copy to look at.
        if (qEnvironmentVariableIsSet("VAZOREZ_KEEP_PICTURES"))
            QFile::copy(picture, QDir(qEnvironmentVariable("VAZOREZ_KEEP_PICTURES")).filePath("lab-window.png"));
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
        QVERIFY(!b.window.savePicture(dir.filePath("window.svg"), &b.window, &error));
        QVERIFY2(error.endsWith("give " + dir.filePath("window.svg") + " the extension .png"), qPrintable(error));
        QVERIFY(!QFileInfo::exists(dir.filePath("window.svg")));
        QVERIFY(!b.window.savePicture(dir.filePath("no/such/folder/x.png"), &b.window, &error));
        QVERIFY2(error.startsWith("cannot write "), qPrintable(error));
    }

    void replayOfACaptureEqualsTheCapture()
    {
        // A line dump with junk and broken frames, played in the window at full speed while it is
        // recorded as raw frames: the recording holds exactly the good frames of the dump.
        QByteArray dump, good;
        for (int k = 0; k < 40; ++k) {
            const FrameValues values = numberedFrame(k, k % 3 == 0 ? 16 : 128, uint8_t(k % 2));
            if (k % 7 == 3)
                dump += QByteArray::fromHex("00A2E00000FF1122");
            appendFrame(dump, values);
            appendFrame(good, values);
        }
        const QString source = dir.filePath("line.dump");
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(dump);
        file.close();

        MainWindow window;
        const QString copy = dir.filePath("replayed.raw");
        QString error;
        QVERIFY(window.startRecording(copy, QString(), &error));
        QVERIFY2(window.startReplay(source, "max", false, &error), qPrintable(error));
        auto *button = window.findChild<QPushButton *>("pushButton_Connect");
        QCOMPARE(button->text(), QStringLiteral("disconnect"));
        QTRY_VERIFY_WITH_TIMEOUT(
            statusText(window).startsWith("Replay of " + source + " finished: 40 frames"), 10000);
        QCOMPARE(button->text(), QStringLiteral("connect"));
        QCOMPARE(readAll(copy), good);

        // "connect" with the recording selected plays it again, here in frames per second.
        QVERIFY(window.startReplay(source, "200", false, &error));
        QTRY_VERIFY(statusText(window).contains(" of 40"));
        QTRY_VERIFY_WITH_TIMEOUT(statusText(window).contains("finished: 40 frames"), 10000);

        // Files that cannot be played say why, and change nothing.
        QFile junk(dir.filePath("notes.txt"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("frame,time_s,mode\n1,2,3\n");
        junk.close();
        QVERIFY(!window.startReplay(junk.fileName(), "line", false, &error));
        QCOMPARE(error, junk.fileName() + " holds no frame");
        QVERIFY(!window.startReplay(dir.filePath("missing.raw"), "line", false, &error));
        QVERIFY2(error.startsWith("cannot read " + dir.filePath("missing.raw")), qPrintable(error));
        QCOMPARE(button->text(), QStringLiteral("connect"));
    }
};

QTEST_MAIN(TestLabInstrument)
#include "tst_labinstrument.moc"

// SPDX-License-Identifier: MIT
// The built window and what it does, on the offscreen platform, with a pseudo-terminal as the board.
#include "boardmodel.h"
#include "framesupport.h"
#include "labinstrument.h"
#include "livepublisher.h"
#include "mainwindow.h"
#include "portlist.h"
#include "pseudoterminal.h"
#include "qtwarnings.h"
#include "statusline.h"
#include "statusreport.h"
#include "ser2netserver.h"

#include <QComboBox>
#include <QGraphicsLineItem>
#include <QGridLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QPen>
#include <QtCharts/QAbstractAxis>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>
#include <QtTest>

#include <zmq.hpp>

#include <atomic>
#include <thread>


using namespace QtCharts;

namespace {

QChart *chartTitled(QWidget &window, const QString &title)
{
    for (QChartView *view : window.findChildren<QChartView *>())
        if (view->chart()->title() == title)
            return view->chart();
    return nullptr;
}

QValueAxis *axis(QChart *chart, Qt::Orientation orientation)
{
    const auto axes = chart->axes(orientation);
    return axes.size() == 1 ? qobject_cast<QValueAxis *>(axes.first()) : nullptr;
}

QVector<QPointF> points(QChart *chart, int index)
{
    return pointsOf(static_cast<QXYSeries *>(chart->series().at(index)));
}


struct Window
{
    MainWindow window;
    LabInstrument lab {&window};
    QPushButton *button = window.findChild<QPushButton *>("pushButton_Connect");
    QComboBox *ports = window.findChild<QComboBox *>("comboBox_PortList");
    QLabel *label = window.findChild<QLabel *>("label_Modulation");
    QChart *raw = chartTitled(window, "Raw Data");
    QChart *fft = chartTitled(window, "FFT");

    void selectPort(const QString &name)
    {
        ports->insertItem(0, name);
        ports->setCurrentIndex(0);
    }
    // The link's figures, whole; empty before the first link.
    QString linkLine()
    {
        auto *line = window.findChild<ElidedLabel *>("label_LinkStatus");
        return line ? line->fullText() : QString();
    }
    // The message on show over the link's line, whole.
    QString message()
    {
        auto *shown = window.findChild<ElidedLabel *>("label_StatusMessage");
        return shown ? shown->fullText() : QString();
    }
    // Types `url` into the port list's "Network port..." dialog, as a user does.
    bool typeNetworkPort(const QString &url)
    {
        if (auto *networkPort = ports->findChild<QAction *>("action_NetworkPort"))
            networkPort->trigger();
        QInputDialog *dialog = nullptr;
        if (!QTest::qWaitFor([&] {
                dialog = window.findChild<QInputDialog *>("inputDialog_NetworkPort");
                return dialog && dialog->isVisible();
            }))
            return false;
        dialog->setTextValue(url);
        dialog->accept();
        return true;
    }
};

// Answers every failure box that opens, a few times a second, keeping what it said in `boxes`.
void answerBoxes(QTimer &timer, QObject *context, QStringList &boxes)
{
    QObject::connect(&timer, &QTimer::timeout, context, [&boxes] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            boxes.append(box->informativeText());
            box->done(QMessageBox::Ok);
        }
    });
    timer.start(50);
}

} // namespace

// Counts the events of one type that reach `watched`.
class EventCounter : public QObject {
public:
    EventCounter(QObject *watched, QEvent::Type type)
        : type(type)
    {
        watched->installEventFilter(this);
    }
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == type;
        return false;
    }

private:
    QEvent::Type type;
};

class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { watchQtWarnings(WarningWatch::ThreadsAndNotifiers); }
    void init() { takeQtWarnings(); }
    void cleanup()
    {
        const QStringList warnings = takeQtWarnings();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
    }

    void formItems_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("column"); // in gridLayout, row 0, span 1 x 1
        QTest::newRow("port list") << "comboBox_PortList" << QString() << 0;
        QTest::newRow("connect button") << "pushButton_Connect" << "connect" << 1;
        QTest::newRow("modulation label") << "label_Modulation" << "Modulation:" << 2;
    }

    void formItems()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(int, column);
        Window w;
        auto *widget = w.window.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->font().pointSize(), 10);
        if (auto *button = qobject_cast<QPushButton *>(widget))
            QCOMPARE(button->text(), text);
        if (auto *label = qobject_cast<QLabel *>(widget)) {
            QCOMPARE(label->text(), text);
            QCOMPARE(int(label->alignment()), int(Qt::AlignCenter));
        }
        auto *grid = w.window.findChild<QGridLayout *>("gridLayout");
        const int index = grid->indexOf(widget);
        int row, col, rowSpan, colSpan;
        grid->getItemPosition(index, &row, &col, &rowSpan, &colSpan);
        QCOMPARE(QVector<int>({row, col, rowSpan, colSpan}), QVector<int>({0, column, 1, 1}));
    }

    void statusLineRate_data()
    {
        QTest::addColumn<double>("framesPerSecond");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("publishing"); // the endpoint; empty: not publishing
        QTest::addColumn<int>("unsent");
        QTest::addColumn<int>("lost"); // a publisher's frames that never arrived
        QTest::addColumn<QString>("last"); // the line once the board has stopped
        const QString counts = ", 0 rejected, 0 bytes dropped, 0 skipped by the display";
        QTest::newRow("a frame a second") << 1.0 << "/dev/ttyUSB0" << QString() << 0 << 0
                                          << "/dev/ttyUSB0: 0.0 frames/s, 10 frames" + counts;
        QTest::newRow("two a second, published")
            << 2.0 << "/dev/ttyUSB0"
            << "tcp://127.0.0.1:5556" << 0 << 0
            << "Publishing on tcp://127.0.0.1:5556; /dev/ttyUSB0: 0.0 frames/s, 20 frames" + counts;
        QTest::newRow("128-sample frames at line rate from a publisher, some lost on the way")
            << 11.17 << "zmq+tcp://lab-pc:5556" << QString() << 0 << 3
            << "zmq+tcp://lab-pc:5556: 0.0 frames/s, 111 frames" + counts
                + ", 3 frames lost on the way";
        QTest::newRow("a flood, published, some not sent")
            << 250000.0 << "/dev/ttyUSB0"
            << "ipc:///tmp/vazorez" << 4711 << 0
            << "Publishing on ipc:///tmp/vazorez, 4711 frames not sent; /dev/ttyUSB0: 0.0 "
               "frames/s, 2502500 frames"
                + counts;
    }

    void statusLineRate()
    {
        // Taken over one refresh (250 ms) the rate read 0 and 4 in turn for a frame a second.
        QFETCH(double, framesPerSecond);
        QFETCH(QString, port);
        QFETCH(QString, publishing);
        QFETCH(int, unsent);
        QFETCH(int, lost);
        QFETCH(QString, last);
        StatusLine line;
        LinkStatus status;
        status.name = port;
        status.open = true;
        status.framesLost = uint64_t(lost);
        StatusLine::Extras extras;
        extras.publishEndpoint = publishing;
        extras.unsentFrames = uint64_t(unsent);
        QString text;
        for (int tick = 1; tick <= 40; ++tick) {
            status.seconds = tick * 0.25 + 0.01 * (tick % 3); // the timer's jitter
            status.framesDecoded = uint64_t(status.seconds * framesPerSecond);
            text = line.describe(status, extras);
            if (tick < 16)
                continue;
            const double shown = QRegularExpression(": ([0-9.]+) frames/s").match(text).captured(1).toDouble();
            QVERIFY2(qAbs(shown - framesPerSecond) <= 0.15 * framesPerSecond, qPrintable(text));
        }
        // The board stops: within a few seconds the rate says so.
        for (int tick = 41; tick <= 60; ++tick) {
            status.seconds = tick * 0.25;
            text = line.describe(status, extras);
        }
        QCOMPARE(text, last);
    }

    void windowFrame()
    {
        Window w;
        QCOMPARE(w.window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(w.window.windowTitle(), QStringLiteral("KVX VazoRez GUI"));
        QCOMPARE(w.window.size(), QSize(845, 598));
        QCOMPARE(w.window.menuBar()->objectName(), QStringLiteral("menuBar"));
        QVERIFY(w.window.menuBar()->actions().isEmpty());
        QCOMPARE(w.window.statusBar()->objectName(), QStringLiteral("statusBar"));
        QVERIFY(w.window.statusBar()->currentMessage().isEmpty());
        QCOMPARE(w.window.centralWidget()->objectName(), QStringLiteral("centralWidget"));

        auto *outer = w.window.findChild<QGridLayout *>("gridLayout_2");
        auto *inner = w.window.findChild<QGridLayout *>("gridLayout");
        QCOMPARE(outer->spacing(), 6);
        QCOMPARE(outer->contentsMargins(), QMargins(11, 11, 11, 11));
        QCOMPARE(inner->spacing(), 6);
        int row, col, rowSpan, colSpan;
        outer->getItemPosition(outer->indexOf(inner), &row, &col, &rowSpan, &colSpan);
        QCOMPARE(QVector<int>({row, col, rowSpan, colSpan}), QVector<int>({1, 0, 1, 1}));
        // The spacer stretches the top row; the charts span all four columns below it.
        for (int i = 0; i < inner->count(); ++i) {
            inner->getItemPosition(i, &row, &col, &rowSpan, &colSpan);
            if (auto *spacer = inner->itemAt(i)->spacerItem()) {
                QCOMPARE(QVector<int>({row, col}), QVector<int>({0, 3}));
                QCOMPARE(spacer->sizeHint(), QSize(40, 20));
                QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
            } else if (auto *view = qobject_cast<QChartView *>(inner->itemAt(i)->widget())) {
                QCOMPARE(row, view->chart() == w.raw ? 1 : 2);
                QCOMPARE(QVector<int>({col, rowSpan, colSpan}), QVector<int>({0, 1, 4}));
            }
        }
    }

    void charts_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("seriesNames");
        QTest::addColumn<bool>("legend");
        QTest::addColumn<QVector<double>>("xAxis"); // min, max, ticks, minor ticks
        QTest::addColumn<QVector<double>>("yAxis");
        QTest::addColumn<QStringList>("axisTitles"); // x, y
        QTest::newRow("raw data") << "Raw Data" << QStringList{"I", "Q"} << true
                                  << QVector<double>{0, 128, 5, 8} << QVector<double>{0, 4096, 5, 0}
                                  << QStringList{"Samples", "digits"};
        QTest::newRow("spectrum") << "FFT" << QStringList{"", ""} << false
                                  << QVector<double>{0, 64, 17, 3} << QVector<double>{-35, 60, 6, 3}
                                  << QStringList{"Samples", "dB"};
    }

    void charts()
    {
        QFETCH(QString, title);
        QFETCH(QStringList, seriesNames);
        QFETCH(bool, legend);
        QFETCH(QVector<double>, xAxis);
        QFETCH(QVector<double>, yAxis);
        QFETCH(QStringList, axisTitles);
        Window w;
        QChart *chart = chartTitled(w.window, title);
        QVERIFY(chart);
        QCOMPARE(chart->animationOptions(), QChart::NoAnimation);
        QCOMPARE(chart->legend()->isVisible(), legend);
        QStringList names;
        for (QAbstractSeries *series : chart->series()) {
            names.append(series->name());
            QVERIFY(pointsOf(static_cast<QXYSeries *>(series)).isEmpty());
            // Both series share the chart's one x and one y axis.
            QCOMPARE(series->attachedAxes().size(), 2);
        }
        QCOMPARE(names, seriesNames);
        QValueAxis *x = axis(chart, Qt::Horizontal);
        QValueAxis *y = axis(chart, Qt::Vertical);
        QVERIFY(x && y);
        QCOMPARE(QVector<double>({x->min(), x->max(), double(x->tickCount()), double(x->minorTickCount())}), xAxis);
        QCOMPARE(QVector<double>({y->min(), y->max(), double(y->tickCount()), double(y->minorTickCount())}), yAxis);
        QCOMPARE(QStringList({x->titleText(), y->titleText()}), axisTitles);
        QCOMPARE(x->labelFormat(), QStringLiteral("%g"));
        QCOMPARE(x->alignment(), Qt::AlignBottom);
        QCOMPARE(y->alignment(), Qt::AlignLeft);
    }

    void spectrumIsBlueWithCircleMarkers()
    {
        Window w;
        auto *line = qobject_cast<QLineSeries *>(w.fft->series().at(0));
        auto *scatter = qobject_cast<QScatterSeries *>(w.fft->series().at(1));
        QVERIFY(line && scatter);
        QCOMPARE(line->color(), QColor(Qt::blue));
        QCOMPARE(scatter->color(), QColor(Qt::blue));
        QCOMPARE(scatter->markerShape(), QScatterSeries::MarkerShapeCircle);
        QCOMPARE(scatter->markerSize(), 6.0);
    }

    void failedOpenShowsTheBoxAndReturnsToIdle()
    {
        Window w;
        w.ports->clear(); // no port present: an empty name goes to the worker
        static QString seen, why;
        static int width, portWidth; // of the informative line, and of its port's name
        auto answerBox = [] {
            QTimer::singleShot(50, [] {
                if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                    seen = box->text();
                    why = box->informativeText();
                    auto *line = box->findChild<QLabel *>("qt_msgbox_informativelabel");
                    width = line ? line->width() : 0;
                    portWidth = line ? line->fontMetrics().horizontalAdvance(why.section(": ", 0, 0) + ':') : 0;
                    box->done(QMessageBox::Ok);
                }
            });
        };
        answerBox();
        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(seen, QStringLiteral("error initialising comport"));
        QVERIFY2(why.startsWith("no port selected: "), qPrintable(why));
        QCOMPARE(w.button->text(), QStringLiteral("connect"));
        QVERIFY(w.button->isEnabled());
        QCOMPARE(w.label->text(), QStringLiteral("Modulation:"));
        QVERIFY(w.message().isEmpty());

        // The box names the port and gives the serial layer's reason.
        w.selectPort("/dev/vazorez-no-such-port");
        answerBox();
        QTest::mouseClick(w.button, Qt::LeftButton);
        QVERIFY2(why.startsWith("/dev/vazorez-no-such-port: ") && why.size() > 30, qPrintable(why));

        // A recording given where a port belongs: the box names it once (the reason used to name it
        // again), and is wide enough for its path on one line (it was about 150 px, the path broken
        // inside).
        QTemporaryDir dir;
        const QString recording = dir.filePath("recordings-of-the-bench/rec1.h5");
        QVERIFY(QDir().mkpath(QFileInfo(recording).path()));
        QFile file(recording);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        w.selectPort(recording);
        answerBox();
        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(seen, QStringLiteral("error initialising comport"));
        QCOMPARE(why,
            recording + ": a file, not a serial port (a recording is replayed with --replay)");
        QVERIFY2(width >= portWidth, qPrintable(QStringLiteral("%1 px for %2").arg(width).arg(portWidth)));
        QCOMPARE(w.button->text(), QStringLiteral("connect"));
    }

    void portListFollowsThePortsPresent()
    {
        // The list used to be read once at start-up: a board plugged in later could not be picked.
        const QStringList present = PortList::presentPorts();
        auto itemsOf = [](QComboBox *box) {
            QStringList items;
            for (int k = 0; k < box->count(); ++k)
                items.append(box->itemText(k));
            return items;
        };
        Window w;
        QVERIFY(w.ports->findChild<PortList *>());
        w.selectPort("/dev/pts/vazorez"); // put there by hand (--port): it stays on top
        QTest::mouseClick(w.ports, Qt::LeftButton); // opening the list reads the ports again
        QCOMPARE(itemsOf(w.ports), QStringList{"/dev/pts/vazorez"} + present);
        QCOMPARE(w.ports->currentText(), QStringLiteral("/dev/pts/vazorez"));

        // A port found before and gone since leaves the list; the selection stays on its port.
        QComboBox box;
        box.addItems({"ttyVazorezGone"});
        PortList list(&box);
        box.insertItem(0, "/dev/pts/by-hand");
        box.setCurrentIndex(1);
        list.refresh();
        QCOMPARE(itemsOf(&box), QStringList{"/dev/pts/by-hand"} + present);
        QCOMPARE(box.currentText(), QStringLiteral("/dev/pts/by-hand"));

        // A replay is listed under its path. One longer than the box shows its file's name, the
        // folders cut in the middle (the box used to show the folders only), and whole in the
        // tooltip.
        QTemporaryDir dir;
        const QString replay = dir.filePath(QString("recordings-of-the-bench/").repeated(3) + "rec1.raw");
        QVERIFY(QDir().mkpath(QFileInfo(replay).path()));
        QFile file(replay);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (int k = 0; k < 3; ++k)
            file.write(encodeFrame(numberedFrame(k, 128, 0)));
        file.close();
        w.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        QString error;
        QVERIFY2(w.lab.startReplay(replay, "line", false, &error), qPrintable(error));
        QCOMPARE(w.ports->currentText(), replay);
        const QString shown = w.ports->findChild<PortList *>()->shownText();
        QVERIFY2(shown.contains(QChar(0x2026)) && shown.endsWith("/rec1.raw"), qPrintable(shown));
        QVERIFY(shown.startsWith(replay.left(4)));
        QCOMPARE(w.ports->toolTip(), replay);
        w.selectPort("/dev/pts/vazorez");
        QCOMPARE(w.ports->findChild<PortList *>()->shownText(), QStringLiteral("/dev/pts/vazorez"));
    }

    void framesReachTheChartsAndFollowTheMode()
    {
        PseudoTerminal line;
        Window w;
        w.selectPort(line.slavePath());
        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(w.button->text(), QStringLiteral("disconnect"));
        QVERIFY(w.button->isEnabled());

        struct Step
        {
            uint8_t mode;
            int samples;
            const char *label;
            double xMax;
        };
        // Each frame alone, then silence: small frames lie below the receive buffer's decode gate.
        const Step steps[] = {{0, 128, "Modulation: CW", 128}, {1, 128, "Modulation: FMCW", 64},
                              {0, 255, "Modulation: CW", 128}, {1, 0, "Modulation: FMCW", 64},
                              {0, 1, "Modulation: CW", 128},   {1, 16, "Modulation: FMCW", 64},
                              {0, 64, "Modulation: CW", 128}};
        int number = 0;
        for (const Step &step : steps) {
            const FrameValues values = numberedFrame(++number, step.samples, step.mode);
            const frame_t expected = expectedRecord(values);
            QVERIFY(line.write(encodeFrame(values)));
            QTRY_COMPARE(points(w.raw, 0), expected.i_series);
            QCOMPARE(points(w.raw, 1), expected.q_series);
            QCOMPARE(points(w.fft, 0), expected.fft_series);
            QCOMPARE(points(w.fft, 1), expected.fft_series); // line and markers identical
            QCOMPARE(w.label->text(), QString::fromLatin1(step.label));
            QCOMPARE(axis(w.fft, Qt::Horizontal)->max(), step.xMax);
            // Nothing rescales to the data.
            QCOMPARE(axis(w.raw, Qt::Vertical)->max(), 4096.0);
            QCOMPARE(axis(w.raw, Qt::Horizontal)->max(), 128.0);
        }

        // A disconnect keeps the last frame on screen; reconnecting works.
        const QVector<QPointF> shown = points(w.raw, 0);
        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(w.button->text(), QStringLiteral("connect"));
        QCOMPARE(points(w.raw, 0), shown);
        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(w.button->text(), QStringLiteral("disconnect"));
        const FrameValues again = numberedFrame(50, 128, 0);
        QVERIFY(line.write(encodeFrame(again)));
        QTRY_COMPARE(points(w.raw, 0), expectedRecord(again).i_series);
        QCOMPARE(line.readAvailable(), QByteArray()); // the window never writes to the port
        // While connected the status bar gives the link's health; what the user is told stays
        // readable beside it (it used to be overwritten within 0.3 s).
        QTRY_VERIFY2(w.linkLine().startsWith(line.slavePath() + ": "), qPrintable(w.linkLine()));
        QVERIFY(w.linkLine().contains(" 0 skipped by the display"));
        // A message wider than the window is cut in the middle with "…", keeping what happened and
        // the file's name in view (it used to be cut at the window's edge without a mark); the
        // tooltip has it whole. So is the link's line, at its end.
        const QString deep = "Saved the window to /tmp/" + QString("a-deep-folder/").repeated(40) + "x.png";
        w.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        w.lab.tell(deep);
        auto *shownMessage = w.window.findChild<ElidedLabel *>("label_StatusMessage");
        auto *shownLink = w.window.findChild<ElidedLabel *>("label_LinkStatus");
        QVERIFY(shownMessage && shownLink);
        QCOMPARE(w.message(), deep);
        QVERIFY(shownMessage->isVisible() && !shownLink->isVisible());
        QCOMPARE(shownMessage->toolTip(), deep);
        QTRY_VERIFY2(shownMessage->shownText().contains(QChar(0x2026)), qPrintable(shownMessage->shownText()));
        QVERIFY2(shownMessage->shownText().startsWith("Saved the window to /")
                && shownMessage->shownText().endsWith("/x.png"),
            qPrintable(shownMessage->shownText()));
        QVERIFY(shownMessage->fontMetrics().horizontalAdvance(shownMessage->shownText())
            <= shownMessage->contentsRect().width());
        w.window.resize(300, w.window.height());
        QTRY_VERIFY2(shownMessage->fontMetrics().horizontalAdvance(shownMessage->shownText())
                <= shownMessage->contentsRect().width(),
            qPrintable(shownMessage->shownText()));
        w.lab.tell("Saved the window to x.png");
        QVERIFY(shownMessage->isVisible() && !shownLink->isVisible());
        QTRY_VERIFY2(shownLink->shownText().endsWith(QChar(0x2026)), qPrintable(shownLink->shownText()));
        QCOMPARE(shownLink->toolTip(), w.linkLine());
        w.window.resize(845, 598);
        {
            // The link's figures change several times a second: drawn without laying the bar out
            // again, as a QLabel's new text would.
            QMainWindow host;
            auto *figures = new ElidedLabel;
            host.statusBar()->addWidget(figures, 1);
            host.resize(600, 200);
            host.show();
            QVERIFY(QTest::qWaitForWindowExposed(&host));
            const int height = figures->height();
            EventCounter layouts(host.statusBar(), QEvent::LayoutRequest);
            EventCounter paints(figures, QEvent::Paint);
            for (int k = 1; k <= 5; ++k) {
                figures->setFullText(QStringLiteral("/dev/ttyACM0: %1 frames/s, %2 frames").arg(k * 11).arg(k * 1000));
                QTRY_VERIFY(paints.count >= k); // shown
            }
            QCOMPARE(layouts.count, 0);
            QCOMPARE(figures->shownText(), QStringLiteral("/dev/ttyACM0: 55 frames/s, 5000 frames"));
            QCOMPARE(figures->height(), height);
        }
        QTest::qWait(1000);
        QCOMPARE(w.message(), QStringLiteral("Saved the window to x.png"));
        QTRY_VERIFY_WITH_TIMEOUT(w.message().isEmpty(), StatusReport::kReportMs + 2000);
        QVERIFY(!shownMessage->isVisible() && shownLink->isVisible());
        QVERIFY2(w.linkLine().contains(" 1 frames, "), qPrintable(w.linkLine()));

        // The line goes away: the window used to go on claiming the connection. It says so in plain
        // words (the system's own, misleading ones in the tooltip), keeps the last frame and the
        // link's last figures, and connects again once the device is back.
        const QVector<QPointF> last = points(w.raw, 0);
        line.closeMaster();
        QTRY_COMPARE(w.button->text(), QStringLiteral("connect"));
        QVERIFY(w.button->isEnabled());
        QCOMPARE(w.message(),
            "The line to " + line.slavePath()
                + " was lost: the device hung up (unplugged, reset or switched off)");
        QVERIFY2(w.window.statusBar()->toolTip().startsWith(w.message() + " ("),
            qPrintable(w.window.statusBar()->toolTip()));
        QTest::qWait(StatusReport::kReportMs + 500); // a problem stays until the next action
        QVERIFY(w.message().startsWith("The line to "));
        QCOMPARE(points(w.raw, 0), last);
        PseudoTerminal back;
        w.selectPort(back.slavePath());
        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(w.button->text(), QStringLiteral("disconnect"));
        QVERIFY(w.message().isEmpty());
        QTRY_VERIFY(w.linkLine().startsWith(back.slavePath() + ": "));
        const FrameValues afterReturn = numberedFrame(51, 16, 1);
        QVERIFY(back.write(encodeFrame(afterReturn)));
        QTRY_COMPARE(points(w.raw, 0), expectedRecord(afterReturn).i_series);
        QTRY_VERIFY(w.linkLine().contains(" 1 frames,"));
        // "disconnect" keeps the link's final figures until the next link.
        QTest::mouseClick(w.button, Qt::LeftButton);
        QVERIFY(w.message().isEmpty());
        QVERIFY2(
            w.linkLine().startsWith(back.slavePath() + ": ") && w.linkLine().contains(" 1 frames,"),
            qPrintable(w.linkLine()));
    }

    void aBoardBehindSer2net()
    {
        // --port URL --connect: the window reads the board through ser2net as through a local
        // port, and the status bar, the lost-line message and the failure box name the URL.
        PseudoTerminal line;
        Ser2NetServer server;
        QString error;
        QVERIFY2(server.start(line.slavePath(), Ser2NetServer::Kind::Rfc2217, &error), qPrintable(error));
        Window w;
        // Any failure box is answered, and what it said kept.
        QStringList boxes;
        QTimer answer;
        answerBoxes(answer, &w.window, boxes);
        w.window.addPort(server.url());
        w.window.connectSelected();
        QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join('\n')));
        QCOMPARE(w.button->text(), QStringLiteral("disconnect"));
        const FrameValues values = numberedFrame(7, 64, 1);
        QVERIFY(line.write(encodeFrame(values)));
        QTRY_COMPARE(points(w.raw, 0), expectedRecord(values).i_series);
        QCOMPARE(w.label->text(), QStringLiteral("Modulation: FMCW"));
        QTRY_VERIFY2(w.linkLine().startsWith(server.url() + ": "), qPrintable(w.linkLine()));
        server.stop();
        QTRY_COMPARE(w.button->text(), QStringLiteral("connect"));
        QCOMPARE(w.message(), "The line to " + server.url() + " was lost: the server closed the connection");

        // The server is gone: connecting again fails with the reason, the box names the URL.
        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(boxes, QStringList {server.url() + ": connection refused"});
        QCOMPARE(w.button->text(), QStringLiteral("connect"));

        // A URL typed into the port list's right-click menu; a name that is none is asked again.
        Ser2NetServer again;
        QVERIFY2(again.start(line.slavePath(), Ser2NetServer::Kind::Raw, &error), qPrintable(error));
        const int items = w.ports->count();
        QVERIFY(w.typeNetworkPort("ttyUSB0"));
        QTRY_VERIFY(w.window.findChild<QInputDialog *>("inputDialog_NetworkPort")
                    && w.window.findChild<QInputDialog *>("inputDialog_NetworkPort")->labelText().startsWith(
                        "'ttyUSB0' is not a network port."));
        QInputDialog *askedAgain = w.window.findChild<QInputDialog *>("inputDialog_NetworkPort");
        askedAgain->setTextValue(again.url());
        askedAgain->accept();
        QTRY_COMPARE(w.ports->currentText(), again.url());
        QCOMPARE(w.ports->count(), items + 1);
        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(w.button->text(), QStringLiteral("disconnect"));
        const FrameValues through = numberedFrame(8, 24, 0);
        QVERIFY(line.write(encodeFrame(through)));
        QTRY_COMPARE(points(w.raw, 0), expectedRecord(through).i_series);
        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(boxes.size(), 1);
    }

    void aBoardPublishedByAnotherViewer()
    {
        // zmq+tcp://HOST:PORT typed as a network port: the window shows the frames another viewer
        // or a capture publishes, as a line's; the publisher's stop loses the line, said with the
        // reason, and a URL where nobody publishes is refused with the wait it took.
        QTcpServer free;
        QVERIFY(free.listen(QHostAddress::LocalHost));
        const quint16 port = free.serverPort();
        free.close();
        auto publisher = std::make_unique<LivePublisher>();
        QString error;
        const QString endpoint = QStringLiteral("tcp://127.0.0.1:%1").arg(port);
        QVERIFY2(publisher->start(endpoint, &error), qPrintable(error));
        publisher->linkOpened({"/dev/ttyUSB0", {}});
        const QString url = QStringLiteral("zmq+tcp://127.0.0.1:%1").arg(port);
        Window w;
        QStringList boxes;
        QTimer answer;
        answerBoxes(answer, &w.window, boxes);
        QVERIFY(w.typeNetworkPort(url));
        QTRY_COMPARE(w.ports->currentText(), url);
        QTest::mouseClick(w.button, Qt::LeftButton); // subscribed once the publisher is heard
        QCOMPARE(w.button->text(), QStringLiteral("disconnect"));
        int number = 0;
        for (int samples : {24, 200, 255}) {
            const FrameValues values = numberedFrame(++number, samples, uint8_t(samples % 2));
            const QByteArray bytes = encodeFrame(values);
            publisher->frameDecoded(frame_t(), bytes.constData(), bytes.size(), number * 0.1);
            QTRY_COMPARE(points(w.raw, 0), expectedRecord(values).i_series);
        }
        QTRY_VERIFY2(w.linkLine().startsWith(url + ": ") && w.linkLine().contains(" 3 frames, "),
            qPrintable(w.linkLine()));
        QVERIFY2(!w.linkLine().contains("lost on the way"), qPrintable(w.linkLine()));
        publisher.reset();
        QTRY_COMPARE(w.button->text(), QStringLiteral("connect"));
        QCOMPARE(w.message(), "The line to " + url + " was lost: the publisher stopped");

        // Frames a publisher numbered that never came (it could not send them, or the viewer did
        // not keep up) are counted, and the count stays with the link's last figures. A publisher
        // played by hand, whose numbering jumps.
        zmq::context_t context;
        zmq::socket_t byHand(context, zmq::socket_type::pub);
        byHand.bind(endpoint.toStdString());
        const auto send = [&byHand](const QByteArray &topic, const QByteArray &header,
                              const QByteArray &body = QByteArray()) {
            byHand.send(
                zmq::buffer(topic.constData(), size_t(topic.size())), zmq::send_flags::sndmore);
            byHand.send(zmq::buffer(header.constData(), size_t(header.size())),
                body.isEmpty() ? zmq::send_flags::none : zmq::send_flags::sndmore);
            if (!body.isEmpty())
                byHand.send(zmq::buffer(body.constData(), size_t(body.size())));
        };
        // Heard once a status arrives: sent while the open waits for it.
        std::atomic<bool> opened{false};
        std::thread statuses([&] {
            while (!opened) {
                send("status", R"({"event":"figures"})");
                QThread::msleep(50);
            }
        });
        QTest::mouseClick(w.button, Qt::LeftButton);
        opened = true;
        statuses.join();
        QCOMPARE(w.button->text(), QStringLiteral("disconnect"));
        for (int seq : {0, 1, 5}) {
            const FrameValues values = numberedFrame(seq, 24, 0);
            send("raw", QByteArray(R"({"seq":)") + QByteArray::number(seq) + '}',
                encodeFrame(values));
            QTRY_COMPARE(points(w.raw, 0), expectedRecord(values).i_series);
        }
        QTRY_VERIFY2(
            w.linkLine().endsWith(" 3 frames, 0 rejected, 0 bytes dropped, 0 skipped by the "
                                  "display, 3 frames lost on the way"),
            qPrintable(w.linkLine()));
        send("status", R"({"event":"stopped"})");
        QTRY_COMPARE(w.message(), "The line to " + url + " was lost: the publisher stopped");
        QVERIFY2(w.linkLine().endsWith(", 3 frames lost on the way"), qPrintable(w.linkLine()));
        byHand.close();
        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(boxes,
            QStringList{url + ": no publisher answered at " + endpoint
                + " within 5 s (it sends its status once a second)"});
    }

    void cachedItemsPaintTheSamePixels_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("CW") << int(SimMode::Cw);
        QTest::newRow("FMCW") << int(SimMode::Fmcw);
        QTest::newRow("CW and FMCW alternating") << int(SimMode::Alternate);
    }

    void cachedItemsPaintTheSamePixels()
    {
        // Grid lines, ticks and axis lines are kept as pixmaps so that a frame does not restroke
        // them, and drawn with cosmetic pens whose bounding rectangles cost nothing. The window
        // must look exactly like one that paints every item afresh with the theme's one-pixel
        // pens, frame after frame, while the series move and when the window is resized.
        QFETCH(int, mode);
        Window cached, fresh;
        for (QChart *chart : {fresh.raw, fresh.fft}) {
            for (QAbstractAxis *axis : chart->axes()) {
                for (auto [get, set] : {std::pair{&QAbstractAxis::linePen, &QAbstractAxis::setLinePen},
                         std::pair{&QAbstractAxis::gridLinePen, &QAbstractAxis::setGridLinePen},
                         std::pair{&QAbstractAxis::minorGridLinePen, &QAbstractAxis::setMinorGridLinePen}}) {
                    QPen pen = (axis->*get)();
                    QVERIFY(pen.isCosmetic() && pen.widthF() == 0.0);
                    pen.setWidthF(1.0);
                    pen.setCosmetic(false);
                    (axis->*set)(pen);
                }
            }
        }
        for (Window *w : {&cached, &fresh}) {
            w->window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w->window));
        }
        auto linesOf = [](Window &w) {
            QList<QGraphicsItem *> items;
            for (QChart *chart : {w.raw, w.fft})
                for (QGraphicsItem *item : chart->scene()->items())
                    if (item->type() == QGraphicsLineItem::Type)
                        items.append(item);
            return items;
        };
        auto geometryOf = [](const QList<QGraphicsItem *> &items) {
            QVector<QLineF> lines;
            for (QGraphicsItem *item : items)
                lines.append(item->sceneTransform().map(static_cast<QGraphicsLineItem *>(item)->line()));
            return lines;
        };
        BoardModel board(SimMode(mode), 128, 3);
        QVector<QPointF> previousSpectrum;
        QVector<QLineF> beforeResize;
        int spectrumMoved = 0;
        for (int k = 0; k < 12; ++k) {
            if (k == 6) {
                beforeResize = geometryOf(linesOf(cached));
                for (Window *w : {&cached, &fresh})
                    w->window.resize(w->window.size() + QSize(37, 23));
                QTest::qWait(50);
                QVERIFY(geometryOf(linesOf(cached)) != beforeResize); // the grid did move
            }
            const frame_t frame = expectedRecord(board.frame(k));
            for (Window *w : {&cached, &fresh})
                w->window.slot_receive_frame(frame);
            QTest::qWait(5); // painted on screen too, from the cache built by earlier frames
            for (QChart *chart : {fresh.raw, fresh.fft})
                for (QGraphicsItem *item : chart->scene()->items())
                    item->setCacheMode(QGraphicsItem::NoCache);
            const QList<QGraphicsItem *> lines = linesOf(cached);
            QVERIFY(lines.size() > 50);
            for (QGraphicsItem *item : lines)
                QCOMPARE(item->cacheMode(), QGraphicsItem::DeviceCoordinateCache);
            QCOMPARE(cached.window.grab().toImage(), fresh.window.grab().toImage());
            spectrumMoved += !previousSpectrum.isEmpty() && frame.fft_series != previousSpectrum;
            previousSpectrum = frame.fft_series;
        }
        QVERIFY(spectrumMoved > 5);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"

// SPDX-License-Identifier: MIT
// What the whole demo costs at the line's pace: the viewer (window, worker thread, status bar,
// and the spectrum history or the radar view when asked for) and the simulated board sending at
// 115200 baud, as a user runs them. Both run as programs of their own (vazorez-gui on the
// simulator's pseudo-terminal), and their processor time, all threads, is summed over a steady
// stretch after a warm-up. With --baseline DIR the same rows run with another build's programs,
// one after the other in the same run, and the ratios are printed.
// Usage: demo_bench [--bin DIR] [--baseline DIR] [--seconds S] [--rounds N] [--smoke] [--json]
// Uses the display it is given (QT_QPA_PLATFORM, DISPLAY); offscreen when there is none.
#include "benchjson.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

namespace {

// Processor time so far of every thread `pid` has now, in seconds (the scheduler's own
// nanoseconds, finer than the clock ticks of /proc/PID/stat).
double processCpuSeconds(qint64 pid)
{
    double total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks.filePath(task) + "/schedstat");
        if (schedstat.open(QIODevice::ReadOnly))
            total += schedstat.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    return total;
}

struct Row
{
    const char *name;
    QString mode;   // the board's --mode
    bool history;   // the spectrum history open
    bool radarView; // the radar view open, with a moving target in the scene
};

struct Sample
{
    double percent = -1; // of one core, viewer and board together
    double viewerPercent = -1;
    double boardPercent = -1;
    QString problem;
};

class DemoRun
{
public:
    DemoRun(const QString &bin, const Row &row, const QString &profile)
    {
        QStringList boardArguments{"--mode", row.mode, "--rate", "line", "--samples", "128"};
        if (row.radarView)
            boardArguments << "--radar" << profile << "--target" << "30,-1" << "--target" << "12,0.5";
        board.setProgram(bin + "/vazorez-sim");
        board.setArguments(boardArguments);
        board.setProcessChannelMode(QProcess::SeparateChannels);
        board.start();
        if (!board.waitForStarted(10000)) {
            problem = "cannot start " + board.program() + ": " + board.errorString();
            return;
        }
        // The simulator says its pseudo-terminal first.
        QByteArray said;
        QElapsedTimer waited;
        waited.start();
        while (!said.contains('\n') && waited.elapsed() < 20000)
            if (board.waitForReadyRead(1000))
                said += board.readAllStandardOutput();
        const auto port = QRegularExpression("port: (\\S+)").match(QString::fromUtf8(said));
        if (!port.hasMatch()) {
            problem = "the simulator named no port";
            return;
        }
        QStringList viewerArguments{"--port", port.captured(1), "--connect"};
        if (row.history)
            viewerArguments << "--history";
        if (row.radarView)
            viewerArguments << "--radar-view" << "--radar" << profile;
        viewer.setProgram(bin + "/vazorez-gui");
        viewer.setArguments(viewerArguments);
        // Its stop notice on the way out is not a figure.
        viewer.setStandardErrorFile(QProcess::nullDevice());
        viewer.start();
        if (!viewer.waitForStarted(10000))
            problem = "cannot start " + viewer.program() + ": " + viewer.errorString();
    }

    ~DemoRun()
    {
        for (QProcess *process : {&viewer, &board}) {
            if (process->state() == QProcess::NotRunning)
                continue;
            process->terminate();
            if (!process->waitForFinished(10000)) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
    }

    // Waits `warmUp` seconds, then measures `seconds`.
    Sample measure(double warmUp, double seconds)
    {
        Sample sample;
        sample.problem = problem;
        if (!problem.isEmpty())
            return sample;
        QThread::msleep(static_cast<unsigned long>(warmUp * 1000));
        if (viewer.state() != QProcess::Running || board.state() != QProcess::Running) {
            sample.problem = "a program ended during the warm-up";
            return sample;
        }
        QElapsedTimer clock;
        clock.start();
        const double viewerBefore = processCpuSeconds(viewer.processId());
        const double boardBefore = processCpuSeconds(board.processId());
        QThread::msleep(static_cast<unsigned long>(seconds * 1000));
        const double viewerSpent = processCpuSeconds(viewer.processId()) - viewerBefore;
        const double boardSpent = processCpuSeconds(board.processId()) - boardBefore;
        const double elapsed = clock.nsecsElapsed() / 1e9;
        if (viewer.state() != QProcess::Running || board.state() != QProcess::Running) {
            sample.problem = "a program ended while measured";
            return sample;
        }
        sample.viewerPercent = viewerSpent / elapsed * 100;
        sample.boardPercent = boardSpent / elapsed * 100;
        sample.percent = sample.viewerPercent + sample.boardPercent;
        return sample;
    }

private:
    QProcess board;
    QProcess viewer;
    QString problem;
};

double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({
        {"bin", "The programs to measure (default: beside this benchmark).", "DIR"},
        {"baseline", "Another build's programs, measured in the same run for the ratios.", "DIR"},
        {"seconds", "Seconds measured per row and round, 1 to 3600 (default 20).", "S"},
        {"rounds", "Rounds over all rows, 1 to 100; the median is printed (default 2).", "N"},
        {"smoke", "One short round (2 s) of the CW row: that the benchmark runs."},
        {"json", "One line of JSON."},
    });
    parser.process(application);
    const bool smoke = parser.isSet("smoke");
    const QString bin = parser.isSet("bin") ? parser.value("bin") : QCoreApplication::applicationDirPath();
    const QString baseline = parser.value("baseline");
    bool secondsOk = true, roundsOk = true;
    double seconds = parser.isSet("seconds") ? parser.value("seconds").toDouble(&secondsOk) : 20;
    int rounds = parser.isSet("rounds") ? parser.value("rounds").toInt(&roundsOk) : 2;
    if (!secondsOk || !(seconds >= 1 && seconds <= 3600) || !roundsOk || rounds < 1 || rounds > 100) {
        std::fprintf(stderr, "demo_bench: --seconds wants 1 to 3600 and --rounds 1 to 100 (see --help)\n");
        return 2;
    }
    if (smoke) { // one short round, whatever was asked
        seconds = 2;
        rounds = 1;
    }
    const double warmUp = smoke ? 2 : 4;
    const QString profile = QStringLiteral(VAZOREZ_SOURCE_DIR) + "/profiles/example-k-band.json";
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The viewer keeps its settings (the last radar profile, the window's place) out of the user's.
    QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());

    const std::vector<Row> allRows = {
        {"cw", "cw", false, false},
        {"alternating", "alternate", false, false},
        {"cw, spectrum history", "cw", true, false},
        {"alternating, spectrum history", "alternate", true, false},
        {"cw, radar view", "cw", false, true},
        {"alternating, radar view", "alternate", false, true},
    };
    const std::vector<Row> rows = smoke ? std::vector<Row>{allRows[0]} : allRows;
    QStringList builds{bin};
    if (!baseline.isEmpty())
        builds << baseline;

    // build -> row -> samples; builds take turns row by row so that a change in the machine's
    // load falls on both alike.
    std::map<QString, std::map<QString, std::vector<Sample>>> samples;
    bool failed = false;
    for (int round = 0; round < rounds; ++round) {
        for (const Row &row : rows) {
            for (const QString &build : builds) {
                DemoRun run(build, row, profile);
                const Sample sample = run.measure(warmUp, seconds);
                if (!sample.problem.isEmpty()) {
                    std::fprintf(stderr, "demo_bench: %s (%s): %s\n", row.name, qPrintable(build),
                        qPrintable(sample.problem));
                    failed = true;
                }
                samples[build][row.name].push_back(sample);
                if (!parser.isSet("json"))
                    std::fprintf(stderr, "  round %d  %-32s %-8s %6.2f %% (viewer %.2f, board %.2f)\n",
                        round + 1, row.name, build == bin ? "this" : "baseline", sample.percent,
                        sample.viewerPercent, sample.boardPercent);
            }
        }
    }

    Figures figures;
    auto rowMedian = [&](const QString &build, const char *row, double Sample::*what) {
        std::vector<double> values;
        for (const Sample &sample : samples[build][row])
            if (sample.problem.isEmpty())
                values.push_back(sample.*what);
        return median(values);
    };
    for (const Row &row : rows) {
        if (rowMedian(bin, row.name, &Sample::percent) < 0)
            continue; // not measured (said above)
        figures.add(QStringLiteral("whole demo, %1").arg(row.name), rowMedian(bin, row.name, &Sample::percent),
            "% of a core");
        figures.add(QStringLiteral("  of it the viewer"), rowMedian(bin, row.name, &Sample::viewerPercent),
            "% of a core");
    }
    const bool allMeasured = !failed;
    if (!smoke && allMeasured) {
        const double cw = rowMedian(bin, "cw", &Sample::percent);
        const double alternating = rowMedian(bin, "alternating", &Sample::percent);
        figures.add("spectrum history adds (cw)", rowMedian(bin, "cw, spectrum history", &Sample::percent) - cw,
            "points");
        figures.add("spectrum history adds (alternating)",
            rowMedian(bin, "alternating, spectrum history", &Sample::percent) - alternating, "points");
        figures.add("radar view adds (cw)", rowMedian(bin, "cw, radar view", &Sample::percent) - cw, "points");
        figures.add("radar view adds (alternating)",
            rowMedian(bin, "alternating, radar view", &Sample::percent) - alternating, "points");
    }
    if (!baseline.isEmpty()) {
        for (const Row &row : rows) {
            const double before = rowMedian(baseline, row.name, &Sample::percent);
            const double now = rowMedian(bin, row.name, &Sample::percent);
            if (before <= 0 || now < 0)
                continue; // a row that could not be measured has no figure (said above)
            figures.add(QStringLiteral("baseline, %1").arg(row.name), before, "% of a core");
            figures.add(QStringLiteral("  ratio this / baseline"), now / before, "x");
        }
    }
    figures.print("demo_bench", parser.isSet("json"));
    return failed ? 1 : 0;
}

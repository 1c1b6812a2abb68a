// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

// Measures the time the real window is blocked by its exchanges with the
// simulated instrument, and its start-up, each against a floor measured in the
// same run, and prints one Markdown table on standard output.

#include "floorclient.h"
#include "instrument.h"
#include "simulatorthread.h"
#include "widget.h"
#include "windowdriver.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

using WindowDriver::find;

namespace {

constexpr quint16 instrumentPort = 4000;
// The window waits this long for a reply, and once more for a reply that comes late.
constexpr int replyWaitMs = 1000;
constexpr int sweepLines = 38;
// Windows calls a window that has not taken input for this long hung.
constexpr int hungAfterMs = 5000;

QTextStream &progress()
{
    static QTextStream stream(stderr);
    return stream;
}

[[noreturn]] void fail(const QString &why)
{
    progress() << "dg318bench: " << why << Qt::endl;
    std::exit(1);
}

// The window logs every exchange; formatting stays in the measurement, writing it out does not.
QtMessageHandler qtHandler = nullptr;
void dropWindowLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        qtHandler(type, context, message);
}

struct Stats
{
    std::vector<double> values;

    double median() const
    {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t middle = sorted.size() / 2;
        return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    }
    double min() const { return *std::min_element(values.begin(), values.end()); }
    double max() const { return *std::max_element(values.begin(), values.end()); }
};

struct Row
{
    QString what;
    Stats measured;
    QString unit;
    QString floor;
    QString ratio;
    QString target;
    QString holds;
};

QString number(double value, const QString &unit)
{
    const int decimals = value < 1 ? 3 : value < 10 ? 2 : value < 1000 ? 1 : 0;
    return QString::number(value, 'f', decimals) + QLatin1Char(' ') + unit;
}

QString ratio(double value)
{
    return QString::number(value, 'f', 2) + QStringLiteral(" ×");
}

QString yesNo(bool holds)
{
    return holds ? QStringLiteral("yes") : QStringLiteral("**no**");
}

// A row in milliseconds whose median must stay within `limit` times that of `reference`,
// named in `target` ("≤ 2 × floor").
void compareMs(Row &row, const Stats &reference, double limit, const QString &target)
{
    row.unit = QStringLiteral("ms");
    row.floor = number(reference.median(), row.unit);
    row.ratio = ratio(row.measured.median() / reference.median());
    row.target = target;
    row.holds = yesNo(row.measured.median() <= limit * reference.median());
}

double elapsedMs(const std::function<void()> &action)
{
    QElapsedTimer timer;
    timer.start();
    action();
    return double(timer.nsecsElapsed()) / 1e6;
}

// Runs both measurements `runs` times after one warm-up run that is not kept,
// taking turns at going first so that a slow spell of the machine falls on both.
void measurePair(int runs, const std::function<double()> &first, Stats &firstStats,
                 const std::function<double()> &second, Stats &secondStats)
{
    for (int run = -1; run < runs; ++run) {
        double a, b;
        if (run % 2 == 0) {
            a = first();
            b = second();
        } else {
            b = second();
            a = first();
        }
        if (run >= 0) {
            firstStats.values.push_back(a);
            secondStats.values.push_back(b);
        }
    }
}

SimulatorOptions instrumentAt(const char *address, int latencyMs = 0)
{
    SimulatorOptions options;
    options.address = QHostAddress(QLatin1String(address));
    options.port = instrumentPort;
    options.latencyMs = latencyMs;
    return options;
}

void requireListening(const SimulatorThread &instrument, const char *address)
{
    if (!instrument.isListening())
        fail(QStringLiteral("the simulator cannot listen on %1: %2")
                 .arg(QLatin1String(address), instrument.errorString()));
}

// What the instrument must have received, to be sure the run did what it is named after.
void expectLines(SimulatorThread &instrument, const QList<QByteArray> &expected,
                 const QString &action)
{
    instrument.waitForLines(int(expected.size()));
    if (instrument.lines() != expected)
        fail(QStringLiteral("%1: the simulator received %2 lines, not the %3 expected")
                 .arg(action)
                 .arg(instrument.lines().size())
                 .arg(expected.size()));
    instrument.clearLines();
}

QList<QByteArray> sweepCommands()
{
    QList<QByteArray> commands{"FREQ? F1", "FREQ? F2"};
    for (int channel = 0; channel <= 8; ++channel) {
        for (const char *query : {"AMPL?", "WIDTH?", "DELAY?", "TRIG?"})
            commands.append(QByteArray(query) + " T" + QByteArray::number(channel));
    }
    return commands;
}

QList<QByteArray> asLines(const QList<QByteArray> &commands)
{
    QList<QByteArray> lines;
    for (const QByteArray &command : commands)
        lines.append(command + "\r\n");
    return lines;
}

void click(Widget &w, const char *button)
{
    find<QPushButton>(w, QLatin1String(button))->click();
}

// Lets the window repaint and delete what it released, outside any measurement.
void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

void showWindow(Widget &w, const char *address)
{
    find<QLineEdit>(w, "leTcpIpAdress")->setText(QLatin1String(address));
    w.show();
    settle();
}

bool isConnected(Widget &w)
{
    return find(w, "pbUpdateData")->isEnabled();
}

void connectWindow(Widget &w, SimulatorThread &instrument, const char *address)
{
    showWindow(w, address);
    click(w, "pbConnect");
    if (!isConnected(w))
        fail(QStringLiteral("the window did not connect to %1").arg(QLatin1String(address)));
    expectLines(instrument, {"*IDN?\r\n"}, "Connect");
    settle();
}

// One Update data, timed, checked to have sent the 38 queries (or the lines given).
double timedSweep(Widget &w, SimulatorThread &instrument,
                  const QList<QByteArray> &sent = asLines(sweepCommands()))
{
    const double ms = elapsedMs([&] { click(w, "pbUpdateData"); });
    expectLines(instrument, sent, "Update data");
    settle();
    return ms;
}

Row sweepRow(const char *address, int latencyMs, int runs)
{
    progress() << "Update data sweep, latency " << latencyMs << " ms, on " << address << Qt::endl;
    SimulatorThread instrument(instrumentAt(address, latencyMs));
    requireListening(instrument, address);
    Widget w;
    connectWindow(w, instrument, address);
    FloorClient floor;
    if (!floor.connectTo(address, instrumentPort))
        fail(QStringLiteral("the floor client did not connect to %1").arg(QLatin1String(address)));

    const QList<QByteArray> commands = sweepCommands();
    const QList<QByteArray> lines = asLines(commands);
    Row row;
    Stats floorStats;
    measurePair(
        runs, [&] { return timedSweep(w, instrument); }, row.measured,
        [&] {
            bool answered = true;
            const double ms = elapsedMs([&] {
                for (const QByteArray &command : commands) {
                    const std::string reply = floor.exchange(command.toStdString());
                    answered = answered && reply.size() > 2
                        && reply.compare(reply.size() - 2, 2, "\r\n") == 0;
                }
            });
            if (!answered)
                fail(QStringLiteral("the floor client missed a reply"));
            expectLines(instrument, lines, "floor sweep");
            return ms;
        },
        floorStats);

    compareMs(row, floorStats, 1.5, QStringLiteral("≤ 1.5 × floor"));
    if (latencyMs == 0) {
        row.what = QStringLiteral("Update data, 38 read-backs, no latency, vs floor client");
    } else {
        const double nominal = double(sweepLines * latencyMs);
        const double deviation = (row.measured.median() / nominal - 1) * 100;
        const QString offBy = QStringLiteral(" (%1%2 %)")
                                  .arg(QLatin1String(deviation >= 0 ? "+" : ""))
                                  .arg(deviation, 0, 'f', 1);
        row.what = QStringLiteral("Update data, `--latency %1`, vs floor client").arg(latencyMs);
        if (latencyMs < 5) {
            row.target = QStringLiteral("tracks 38 × %1 ms = %2 ms").arg(latencyMs).arg(nominal);
            row.holds = QStringLiteral("–") + offBy;
        } else {
            row.target =
                QStringLiteral("within 10 % of 38 × %1 ms = %2 ms").arg(latencyMs).arg(nominal);
            row.holds = yesNo(std::abs(deviation) <= 10) + offBy;
        }
    }
    return row;
}

// Update data against an instrument that ends its lines with `terminator` (`name` to the
// simulator), against one that ends them with CR LF, taking turns.
Row lineEndRow(const char *address, const char *usualAddress, const char *name,
               const char *terminator, int runs)
{
    progress() << "Update data sweep, line end " << name << ", on " << address << Qt::endl;
    SimulatorOptions options = instrumentAt(address);
    options.terminator = terminator;
    SimulatorThread instrument(options);
    requireListening(instrument, address);
    SimulatorThread usual(instrumentAt(usualAddress));
    requireListening(usual, usualAddress);
    Widget w;
    connectWindow(w, instrument, address);
    Widget usualWindow;
    connectWindow(usualWindow, usual, usualAddress);

    Row row;
    Stats usualStats;
    measurePair(
        runs, [&] { return timedSweep(w, instrument); }, row.measured,
        [&] { return timedSweep(usualWindow, usual); }, usualStats);
    row.what = QStringLiteral("Update data, `--terminator %1`, vs `crlf`").arg(name);
    compareMs(row, usualStats, 1.25, QStringLiteral("≤ 1.25 × `crlf`"));
    return row;
}

Row setThenGetRow(const char *address, int runs)
{
    progress() << "Set then Get, on " << address << Qt::endl;
    SimulatorThread instrument(instrumentAt(address));
    requireListening(instrument, address);
    Widget w;
    connectWindow(w, instrument, address);

    Row row;
    Stats getAlone;
    measurePair(
        runs,
        [&] {
            const double ms = elapsedMs([&] {
                click(w, "wChannel3/pbSetWidth");
                click(w, "wChannel3/pbGetWidth");
            });
            // The set line's answer may still come, and name T3: a marker goes first.
            expectLines(instrument, {"WIDTH T3,200\r\n", "WIDTH? T0\r\n", "WIDTH? T3\r\n"},
                        "Set then Get");
            settle();
            return ms;
        },
        row.measured,
        [&] {
            const double ms = elapsedMs([&] { click(w, "wChannel3/pbGetWidth"); });
            expectLines(instrument, {"WIDTH? T3\r\n"}, "Get");
            settle();
            return ms;
        },
        getAlone);

    row.what = QStringLiteral("Set then Get (width of T3, a marker first) vs Get alone");
    compareMs(row, getAlone, 2.5, QStringLiteral("≤ 2.5 × Get alone"));
    return row;
}

Row connectRow(const char *address, int runs)
{
    progress() << "Connect, on " << address << Qt::endl;
    SimulatorThread instrument(instrumentAt(address));
    requireListening(instrument, address);
    const QByteArray identityLine = Instrument::identity + "\r\n";

    Row row;
    Stats floorStats;
    measurePair(
        runs,
        [&] {
            Widget w;
            showWindow(w, address);
            const double ms = elapsedMs([&] { click(w, "pbConnect"); });
            if (!isConnected(w))
                fail(
                    QStringLiteral("the window did not connect to %1").arg(QLatin1String(address)));
            expectLines(instrument, {"*IDN?\r\n"}, "Connect");
            return ms;
        },
        row.measured,
        [&] {
            FloorClient floor;
            std::string identity;
            const double ms = elapsedMs([&] {
                if (floor.connectTo(address, instrumentPort))
                    identity = floor.exchange("*IDN?");
            });
            if (identity != identityLine.toStdString())
                fail(QStringLiteral("the floor client did not get the identity"));
            expectLines(instrument, {"*IDN?\r\n"}, "floor connect");
            return ms;
        },
        floorStats);
    settle();

    row.what = QStringLiteral(
        "Connect (connection, `*IDN?`, controls enabled) vs floor client's connect + `*IDN?`");
    compareMs(row, floorStats, 2, QStringLiteral("≤ 2 × floor"));
    return row;
}

struct Startup
{
    double ms = 0;
    double peakMiB = 0;
};

// Starts `program` (a sibling of this benchmark) and reads what it reports after its first paint.
Startup startOnce(const QString &program)
{
    QProcess process;
    process.setProgram(QCoreApplication::applicationDirPath() + QLatin1Char('/') + program);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    environment.insert(
        QStringLiteral("DG318_BENCH_START_NS"),
        QString::number(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
    process.setProcessEnvironment(environment);
    process.start();
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        fail(QStringLiteral("%1 did not report its first paint: %2")
                 .arg(program, QString::fromLocal8Bit(process.readAllStandardError())));
    }

    Startup startup;
    int found = 0;
    for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 2)
            continue;
        if (fields[0] == "startup-ns") {
            startup.ms = fields[1].toDouble() / 1e6;
            ++found;
        } else if (fields[0] == "peak-kib") {
            startup.peakMiB = fields[1].toDouble() / 1024;
            ++found;
        }
    }
    if (found != 2 || startup.peakMiB <= 0)
        fail(QStringLiteral("%1 reported no start-up time or memory").arg(program));
    return startup;
}

QList<Row> startupRows(int runs)
{
    progress() << "Start-up" << Qt::endl;
    const QStringList programs{QStringLiteral("dg318-startup"),
                               QStringLiteral("emptywindow-startup"),
                               QStringLiteral("labelwindow-startup")};
    QList<Stats> ms(programs.size()), mib(programs.size());
    // As in measurePair: one warm-up run, then the programs take turns at going first.
    for (int run = -1; run < runs; ++run) {
        for (int turn = 0; turn < programs.size(); ++turn) {
            const int p = (turn + run + 1) % int(programs.size());
            const Startup startup = startOnce(programs.at(p));
            if (run >= 0) {
                ms[p].values.push_back(startup.ms);
                mib[p].values.push_back(startup.peakMiB);
            }
        }
    }
    const Stats &programMs = ms.at(0), &emptyMs = ms.at(1), &labelMs = ms.at(2);

    Row time;
    time.what = QStringLiteral(
        "Start-up until the window is shown and painted (offscreen) vs empty QWidget");
    time.measured = programMs;
    time.unit = QStringLiteral("ms");
    time.floor = number(emptyMs.median(), time.unit);
    time.ratio = ratio(programMs.median() / emptyMs.median());
    time.target = QStringLiteral("≤ 1.3 × floor");
    time.holds = yesNo(programMs.median() <= 1.3 * emptyMs.median());

    Row label;
    label.what = QStringLiteral("Start-up of a window showing one word (QLabel) vs empty QWidget");
    label.measured = labelMs;
    label.unit = QStringLiteral("ms");
    label.floor = time.floor;
    label.ratio = ratio(labelMs.median() / emptyMs.median());
    label.target = QStringLiteral("– (what any text costs)");
    label.holds = QStringLiteral("–");

    Row memory;
    memory.what = QStringLiteral("Peak resident memory at the first paint vs empty QWidget");
    memory.measured = mib.at(0);
    memory.unit = QStringLiteral("MiB");
    memory.floor = number(mib.at(1).median(), memory.unit);
    const double above = mib.at(0).median() - mib.at(1).median();
    memory.ratio = QStringLiteral("+") + number(above, memory.unit);
    memory.target = QStringLiteral("≤ floor + 10 MiB");
    memory.holds = yesNo(above <= 10);
    return {time, label, memory};
}

// Update data against an instrument that makes every read-back wait: one that is silent
// (both waits, 2 s, for the two read-backs after which the sweep stops), or one that ends no
// line (the reply wait and the pause after the text, 1.2 s at most, for all 38).
Row slowSweepRow(const char *address, bool silent, int runs)
{
    const int readBackMs = silent ? 2 * replyWaitMs : replyWaitMs + 200;
    const int readBacks = silent ? 2 : sweepLines;
    progress() << "Update data against " << (silent ? "a silent instrument" : "no line ends")
               << ", on " << address << " (" << runs << " × about " << readBacks * readBackMs / 1000
               << " s)" << Qt::endl;
    SimulatorOptions options = instrumentAt(address);
    options.silent = silent;
    if (!silent)
        options.terminator.clear();
    SimulatorThread instrument(options);
    requireListening(instrument, address);
    Widget w;
    connectWindow(w, instrument, address);

    // Against the silent instrument every sweep sends the two frequencies: the second names
    // another source than the first, and a later sweep's are the same queries still owed.
    const QList<QByteArray> firstSweep =
        silent ? asLines({"FREQ? F1", "FREQ? F2"}) : asLines(sweepCommands());
    const QList<QByteArray> laterSweeps = firstSweep;
    Row row;
    for (int run = 0; run < runs; ++run)
        row.measured.values.push_back(
            timedSweep(w, instrument, run == 0 ? firstSweep : laterSweeps));

    const double bound = readBacks * readBackMs;
    row.what = QStringLiteral("Update data, %1 (%2 run%3, no warm-up)")
                   .arg(QLatin1String(silent ? "silent instrument" : "`--terminator none`"))
                   .arg(runs)
                   .arg(QLatin1String(runs == 1 ? "" : "s"));
    row.unit = QStringLiteral("ms");
    row.floor = silent ? QStringLiteral("waits: 2 × 2 × %1 ms = %2 ms").arg(replyWaitMs).arg(bound)
                       : QStringLiteral("bound: 38 × %1 ms = %2 ms").arg(readBackMs).arg(bound);
    // Close to 1 by design: show how close.
    row.ratio = QString::number(row.measured.median() / bound, 'f', 4) + QStringLiteral(" ×");
    // The silent sweep must give the window back before Windows calls it hung (5 s); it ends a
    // few milliseconds after its waits, as every poll may.
    const double limit = silent ? hungAfterMs : bound;
    row.target = silent ? QStringLiteral("under 5000 ms (Windows: \"Not Responding\")")
                        : QStringLiteral("never above the bound");
    const double over = row.measured.max() - limit;
    row.holds = yesNo(over <= 0)
        + QStringLiteral(" (max %1%2)")
              .arg(over >= 0 ? QStringLiteral("+") : QStringLiteral("−"))
              .arg(number(std::abs(over), row.unit));
    return row;
}

void printTable(const QList<Row> &rows)
{
    QTextStream out(stdout);
    out << "| What | Median | Min | Max | Floor (median) | Ratio | Target | Holds |\n"
        << "|---|---:|---:|---:|---:|---:|---|---|\n";
    for (const Row &row : rows) {
        out << "| " << row.what << " | " << number(row.measured.median(), row.unit) << " | "
            << number(row.measured.min(), row.unit) << " | " << number(row.measured.max(), row.unit)
            << " | " << row.floor << " | " << row.ratio << " | " << row.target << " | " << row.holds
            << " |\n";
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // Every window here, the start-up programs' included, draws off screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qtHandler = qInstallMessageHandler(dropWindowLog);

    QCommandLineParser parser;
    parser.setApplicationDescription("Measures the dg318 window against the simulator on "
                                     "127.0.0.40-49:4000 and prints a Markdown table.");
    parser.addHelpOption();
    parser.addOptions({
        {"runs", "Repeat each measurement <n> times, after one warm-up run (default 15).", "n",
         "15"},
        {"silent-runs",
         "Repeat the sweeps against a silent instrument (4 s) and one that ends no line "
         "(38 s) <n> times (default 1, 0 skips them).",
         "n", "1"},
    });
    parser.process(app);
    bool runsOk = false, silentOk = false;
    const int runs = parser.value("runs").toInt(&runsOk);
    const int silentRuns = parser.value("silent-runs").toInt(&silentOk);
    if (!runsOk || runs < 1 || !silentOk || silentRuns < 0)
        fail(QStringLiteral("--runs takes a number from 1 up, --silent-runs one from 0 up"));

    QList<Row> rows;
    rows << sweepRow("127.0.0.40", 0, runs) << sweepRow("127.0.0.41", 1, runs)
         << sweepRow("127.0.0.42", 5, runs) << sweepRow("127.0.0.43", 20, runs);
    rows << lineEndRow("127.0.0.47", "127.0.0.48", "cr", "\r", runs)
         << lineEndRow("127.0.0.47", "127.0.0.48", "lf", "\n", runs)
         << lineEndRow("127.0.0.47", "127.0.0.48", "lfcr", "\n\r", runs);
    rows << setThenGetRow("127.0.0.44", runs) << connectRow("127.0.0.45", runs)
         << startupRows(runs);
    if (silentRuns > 0)
        rows << slowSweepRow("127.0.0.49", false, silentRuns)
             << slowSweepRow("127.0.0.46", true, silentRuns);
    printTable(rows);
    return 0;
}

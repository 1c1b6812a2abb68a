// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

// Soak run: one window against the simulator for many cycles of connect,
// Update data, sets, read-backs and a dropped connection that the window
// re-opens by itself (after its third loss within 10 s, Connect does). Prints
// the cycles done, the values that came back wrong, and the peak resident
// memory after the first cycle and at the end.
//
// Usage: dg318-soak [cycles]   (default 1000)

#include "simulatorthread.h"
#include "widget.h"
#include "windowdriver.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTextStream>

#include <cstdio>

using namespace WindowDriver;

namespace {

constexpr int changesPerCycle = 4;
// The identity query, the sweep, the sets and their read-backs; the next
// line, a read-back of F1, finds the instrument rebooting.
constexpr int linesPerConnection = 1 + 38 + 2 * changesPerCycle + 1;

// The window re-opens a dropped connection by itself, but not after the third loss within 10 s:
// then Connect is pressed, as a user would.
bool waitUntilConnected(Widget &w, int connections, const SimulatorThread &instrument)
{
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        // As the running event loop of the program would, delete released sockets.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (controlStates(w) == notConnected)
            find<QPushButton>(w, QStringLiteral("pbConnect"))->click();
        if (controlStates(w) == connected && instrument.connections() == connections)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const int cycles = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    QTextStream out(stdout);

    SimulatorOptions options = instrumentAt("127.0.0.81");
    options.dropAfterLines = linesPerConnection;
    SimulatorThread instrument(options);
    if (!instrument.isListening()) {
        out << "cannot start the simulator: " << instrument.errorString() << Qt::endl;
        return 1;
    }

    Widget w;
    QRandomGenerator random(318);
    const QStringList paths = controlPaths();
    QStringList model; // what every control should show once read back
    qint64 peakStart = 0;
    int wrong = 0;
    int done = 0;
    pressConnect(w, QStringLiteral("127.0.0.81"));

    for (int cycle = 1; cycle <= cycles; ++cycle) {
        if (!waitUntilConnected(w, cycle, instrument)) {
            out << "cycle " << cycle << ": the window did not reconnect" << Qt::endl;
            ++wrong;
            break;
        }

        instrument.clearLines(); // the harness would otherwise keep every line
        find<QPushButton>(w, QStringLiteral("pbUpdateData"))->click();
        const QStringList shown = shownValues(w);
        if (model.isEmpty())
            model = shown;
        for (int i = 0; i < paths.size(); ++i) {
            if (shown.at(i) != model.at(i)) {
                out << "cycle " << cycle << ": " << paths.at(i) << " shows " << shown.at(i)
                    << ", not " << model.at(i) << Qt::endl;
                ++wrong;
            }
        }

        QStringList changed;
        for (int i = 0; i < changesPerCycle; ++i) {
            const QString path = paths.at(random.bounded(int(paths.size())));
            QWidget *control = find(w, path);
            enter(control, randomValue(path, random));
            model[paths.indexOf(path)] = shownBy(control);
            find<QPushButton>(w, buttonFor(path, true))->click();
            changed << path;
        }
        for (const QString &path : std::as_const(changed)) {
            QWidget *control = find(w, path);
            enter(control,
                  path.endsWith(QLatin1String("leDelay")) ? QStringLiteral("-1")
                                                          : QStringLiteral("1"));
            find<QPushButton>(w, buttonFor(path, false))->click();
            if (shownBy(control) != model.at(paths.indexOf(path))) {
                out << "cycle " << cycle << ": " << path << " read back " << shownBy(control)
                    << ", not " << model.at(paths.indexOf(path)) << Qt::endl;
                ++wrong;
                enter(control, model.at(paths.indexOf(path)));
            }
        }

        // The instrument reboots on this line; the window opens a new connection.
        find<QPushButton>(w, QStringLiteral("wFrequency1/pbGet"))->click();

        done = cycle;
        if (cycle == 1)
            peakStart = residentKiB(Resident::Peak);
        if (cycle % 100 == 0)
            out << "cycle " << cycle << Qt::endl;
    }

    const qint64 peakEnd = residentKiB(Resident::Peak);
    out << "sockets alive: " << socketsAlive(w) << Qt::endl;
    out << "cycles done: " << done << Qt::endl;
    out << "wrong values: " << wrong << Qt::endl;
    out << "peak memory after the first cycle: " << peakStart << " KiB" << Qt::endl;
    out << "peak memory at the end: " << peakEnd << " KiB ("
        << QString::number(100.0 * (peakEnd - peakStart) / peakStart, 'f', 1) << "%)" << Qt::endl;
    return wrong == 0 && done == cycles ? 0 : 1;
}

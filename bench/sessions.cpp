// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

// Long working sessions against instruments that hold one reply in ten back 1.2-3.5 s, each
// with one habit of real instruments and bridges: Get, Set and Update data pressed in random
// order, as at the bench, until the instrument has taken a number of lines (default 300); then
// it is prompt again and Update data is pressed twice. Prints, for each instrument, the presses,
// the values shown in a control they do not belong to (or stale), the longest press, and how
// many values the two last presses left behind. Exits non-zero on any wrong value, any press
// over 20 s, or a value still behind after the second press.
//
// Usage: dg318-sessions [lines]

#include "simulatorthread.h"
#include "widget.h"
#include "windowdriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTextStream>

#include <functional>

using namespace WindowDriver;

namespace {

constexpr qint64 pressBoundMs = 20000;

int freshConnections = 0;

// The log goes nowhere, but for the fresh connections, which are counted.
void countFreshConnections(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message.startsWith(QLatin1String("Connecting afresh")))
        ++freshConnections;
}

struct Habit
{
    const char *name;
    std::function<void(SimulatorOptions &)> apply;
    QString neverAnswered; // controls whose kind is never answered, by path piece
};

const QList<Habit> habits = {
    {"none", [](SimulatorOptions &) {}, {}},
    {"echoes", [](SimulatorOptions &o) { o.echo = true; }, {}},
    {"set lines answered OK", [](SimulatorOptions &o) { o.answerSets = QByteArray("OK"); }, {}},
    {"set lines confirmed with their value", [](SimulatorOptions &o) { o.confirmSets = true; }, {}},
    {"OK 3 ms after every reply",
     [](SimulatorOptions &o) {
         o.afterAnswer = QByteArray("OK");
         o.afterAnswerMs = 3;
     },
     {}},
    {"a blank line after every reply",
     [](SimulatorOptions &o) {
         o.afterAnswer = QByteArray();
         o.afterAnswerMs = 3;
     },
     {}},
    {"every answer sent twice, 40 ms apart", [](SimulatorOptions &o) { o.repeatMs = 40; }, {}},
    {"lines ended by CR", [](SimulatorOptions &o) { o.terminator = "\r"; }, {}},
    {"delay never answered", [](SimulatorOptions &o) { o.mutePrefixes = {"DELAY?"}; },
     QStringLiteral("leDelay")},
    {"no identity", [](SimulatorOptions &o) { o.mutePrefixes = {"*IDN?"}; }, {}},
    {"telnet-mode bridge", [](SimulatorOptions &o) { o.telnetGreeting = true; }, {}},
    {"serial pace, 30 ms a line", [](SimulatorOptions &o) { o.latencyMs = 30; }, {}},
    {"serial pace, echoes, confirmed sets",
     [](SimulatorOptions &o) {
         o.latencyMs = 30;
         o.echo = true;
         o.confirmSets = true;
     },
     {}},
};

struct Outcome
{
    int presses = 0;
    int wrong = 0;
    qint64 longestMs = 0;
    int behindFirst = 0;
    int behindSecond = 0;
    int fresh = 0;
};

Outcome runSession(const Habit &habit, int index, int lines, QTextStream &out)
{
    const QByteArray address = "127.0.4." + QByteArray::number(index + 1);
    SimulatorOptions options = instrumentAt(address.constData());
    habit.apply(options);
    options.holdOneIn = 10;
    options.holdRandomMs = {1200, 3500};
    options.holdRandomLines = lines;
    options.holdSeed = quint32(index + 1);
    SimulatorThread instrument(options);
    Outcome outcome;
    if (!instrument.isListening()) {
        out << "  cannot start the simulator: " << instrument.errorString() << Qt::endl;
        outcome.wrong = 1;
        return outcome;
    }

    freshConnections = 0;
    Widget w;
    pressConnect(w, QString::fromLatin1(address));
    QRandomGenerator random(quint32(318 + index));
    const QStringList paths = controlPaths();
    const auto counted = [&habit](const QString &path) {
        return habit.neverAnswered.isEmpty() || !path.contains(habit.neverAnswered);
    };
    // What the instrument holds for every control; the simulator starts at the window's own
    // defaults. Every control is set to a value of its own first, so that one shown in
    // another's place stands out.
    QStringList model = shownValues(w);
    for (int i = 0; i < paths.size(); ++i) {
        QWidget *control = find(w, paths.at(i));
        enter(control, randomValue(paths.at(i), random));
        model[i] = shownBy(control);
        find<QPushButton>(w, buttonFor(paths.at(i), true))->click();
    }

    // A press may leave a control as it was, or show the instrument's value for it; anything
    // else is wrong.
    const auto press = [&](const QString &button, const QString &only) {
        const QStringList before = shownValues(w);
        QElapsedTimer clock;
        clock.start();
        find<QPushButton>(w, button)->click();
        outcome.longestMs = qMax(outcome.longestMs, clock.elapsed());
        ++outcome.presses;
        const QStringList after = shownValues(w);
        int behind = 0;
        for (int i = 0; i < paths.size(); ++i) {
            const bool asked = only.isEmpty() || paths.at(i) == only;
            if (after.at(i) == before.at(i) && after.at(i) != model.at(i) && asked
                && counted(paths.at(i)))
                ++behind;
            if (after.at(i) == before.at(i) || (asked && after.at(i) == model.at(i)))
                continue;
            ++outcome.wrong;
            out << "  " << button << ": " << paths.at(i) << " shows " << after.at(i) << ", not "
                << model.at(i) << Qt::endl;
        }
        return behind;
    };

    while (instrument.lines().size() < lines) {
        const int pick = random.bounded(100);
        const QString path = paths.at(random.bounded(int(paths.size())));
        if (pick < 25) {
            QWidget *control = find(w, path);
            enter(control, randomValue(path, random));
            model[paths.indexOf(path)] = shownBy(control);
            press(buttonFor(path, true), path);
        } else if (pick < 80) {
            press(buttonFor(path, false), path);
        } else {
            press(QStringLiteral("pbUpdateData"), QString());
        }
    }
    // The instrument is prompt again.
    outcome.behindFirst = press(QStringLiteral("pbUpdateData"), QString());
    outcome.behindSecond = press(QStringLiteral("pbUpdateData"), QString());
    outcome.fresh = freshConnections;
    return outcome;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(countFreshConnections);
    const int lines = argc > 1 ? QByteArray(argv[1]).toInt() : 300;
    QTextStream out(stdout);

    out << "| instrument (one reply in ten held 1.2-3.5 s) | presses | wrong values | longest "
           "press "
           "| behind after the first / second last press | fresh connections |"
        << Qt::endl
        << "|---|---|---|---|---|---|" << Qt::endl;
    bool failed = false;
    for (int i = 0; i < habits.size(); ++i) {
        const Outcome outcome = runSession(habits.at(i), i, lines, out);
        out << "| " << habits.at(i).name << " | " << outcome.presses << " | " << outcome.wrong
            << " | " << QString::number(outcome.longestMs / 1000.0, 'f', 1) << " s | "
            << outcome.behindFirst << " / " << outcome.behindSecond << " | " << outcome.fresh
            << " |" << Qt::endl;
        failed = failed || outcome.wrong > 0 || outcome.longestMs > pressBoundMs
            || outcome.behindSecond > 0;
    }
    return failed ? 1 : 0;
}

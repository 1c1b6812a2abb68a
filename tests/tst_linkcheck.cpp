// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

// Every interleaving within a stated bound, on virtual time: the link's core against the
// instrument model, each output on time, late or never. A value may show only in the control
// whose query the instrument answered with it; two presses of Update data must bring every
// control back once the instrument answers at once; no press may hold the window past 20 s.

#include "instrumentmodel.h"
#include "linkcore.h"

#include <QElapsedTimer>
#include <QTest>

#include <functional>
#include <thread>

namespace {

struct Click
{
    enum Kind { Get, Set, Update } kind;
    int control; // index into scope
};

struct Scoped
{
    Quantity quantity;
    int channel;
    const char *query; // the query kind and target, as the instrument reads them
};
const Scoped scope[] = {{Quantity::Width, 3, "WIDTH? T3"},
                        {Quantity::Amplitude, 3, "AMPL? T3"},
                        {Quantity::Width, 4, "WIDTH? T4"},
                        {Quantity::Amplitude, 4, "AMPL? T4"}};
constexpr int scopeSize = int(std::size(scope));
const qint64 delays[] = {500, 1500, 2500, 6000, InstrumentModel::never};
// Outputs made during the two clicks that may come late.
constexpr int lateCandidates = 5;
constexpr qint64 pressLimitMs = 20000;

struct Failures
{
    int wrongControl = 0, notCaughtUp = 0, tooLong = 0;
    QString first;

    int total() const { return wrongControl + notCaughtUp + tooLong; }
    void note(int &count, const QString &what)
    {
        if (count++ == 0 && first.isEmpty())
            first = what;
    }
    void add(const Failures &other)
    {
        wrongControl += other.wrongControl;
        notCaughtUp += other.notCaughtUp;
        tooLong += other.tooLong;
        if (first.isEmpty())
            first = other.first;
    }
};

// The driver, on virtual time: does what the core asks at once, and jumps the clock to the
// next time anything can happen.
class VirtualLink
{
public:
    VirtualLink(InstrumentModel &model, Failures &failures, const QString &name)
        : model(model), failures(failures), name(name)
    {
    }

    qint64 now = 0;
    QMap<QByteArray, QByteArray> shown; // query and target -> value text shown

    qint64 press(LinkEvent event)
    {
        const qint64 start = now;
        run(event);
        while (!queued.isEmpty()) // the event loop's turn
            run(queued.takeFirst());
        const qint64 took = now - start;
        if (took > pressLimitMs)
            failures.note(failures.tooLong, QStringLiteral("%1: a press held the window %2 ms")
                                                .arg(name)
                                                .arg(took));
        return took;
    }

private:
    void run(LinkEvent event)
    {
        std::optional<LinkEvent> next = event;
        while (next) {
            next->at = now;
            const QList<LinkAction> actions = core.handle(*next);
            next.reset();
            for (const LinkAction &action : actions) {
                switch (action.kind) {
                case LinkAction::Connect:
                    model.connect(now);
                    next = LinkEvent{LinkEvent::Connected};
                    break;
                case LinkAction::Write:
                    model.receive(action.bytes, now);
                    next = LinkEvent{LinkEvent::Written};
                    break;
                case LinkAction::WakeAt: {
                    const qint64 due = model.nextDue();
                    const bool arrives = due != InstrumentModel::never && due <= action.at;
                    now = qMax(now, arrives ? due : action.at);
                    next = LinkEvent{LinkEvent::BytesArrived};
                    next->bytes = model.deliver(now);
                    break;
                }
                case LinkAction::Show:
                    judge(action);
                    break;
                case LinkAction::ReconnectLater:
                    queued.append(LinkEvent{LinkEvent::ReconnectDue});
                    break;
                default:
                    break;
                }
            }
        }
    }

    // Right value: only the reply to a query for this control, sent after its last set line.
    void judge(const LinkAction &action)
    {
        const Scoped *control = nullptr;
        for (const Scoped &scoped : scope)
            if (scoped.quantity == action.control.quantity
                && scoped.channel == action.control.channel)
                control = &scoped;
        if (!control)
            return;
        const InstrumentModel::Output *output = model.outputAt(action.connection, action.offset);
        const QByteArray key = control->query;
        const bool right = output && output->kind == InstrumentModel::Reply
            && output->query + ' ' + output->target == key
            && output->line > model.lastSet.value(key, -1);
        if (!right)
            failures.note(failures.wrongControl,
                          QStringLiteral("%1: %2 shows %3, from %4")
                              .arg(name, QLatin1String(key), QString::fromLatin1(action.bytes.trimmed()),
                                   output ? QString::fromLatin1(output->bytes.trimmed()) + " of line "
                                                + QString::number(output->line)
                                          : QStringLiteral("nothing the instrument sent")));
        shown[key] = action.bytes.trimmed().mid(action.bytes.trimmed().indexOf(',') + 1);
    }

    LinkCore core;
    InstrumentModel &model;
    Failures &failures;
    QString name;
    QList<LinkEvent> queued;
};

LinkEvent pressed(LinkEvent::Kind kind)
{
    LinkEvent event;
    event.kind = kind;
    return event;
}

LinkEvent sweepOf(const QList<std::pair<QString, Control>> &readBacks)
{
    LinkEvent event = pressed(LinkEvent::UpdatePressed);
    for (const auto &[line, control] : readBacks) {
        event.lines.append(line);
        event.controls.append(control);
    }
    return event;
}

LinkEvent scopeSweep()
{
    QList<std::pair<QString, Control>> readBacks;
    for (const Scoped &scoped : scope)
        readBacks.append({QString::fromLatin1(scoped.query), {scoped.quantity, scoped.channel}});
    return sweepOf(readBacks);
}

// The window's Update data: both sources, then every channel.
LinkEvent fullSweep()
{
    QList<std::pair<QString, Control>> readBacks = {{"FREQ? F1", {Quantity::Frequency, 1}},
                                                    {"FREQ? F2", {Quantity::Frequency, 2}}};
    for (int channel = 0; channel < 9; ++channel) {
        readBacks.append({QStringLiteral("AMPL? T%1").arg(channel), {Quantity::Amplitude, channel}});
        readBacks.append({QStringLiteral("WIDTH? T%1").arg(channel), {Quantity::Width, channel}});
        readBacks.append({QStringLiteral("DELAY? T%1").arg(channel), {Quantity::Delay, channel}});
        readBacks.append({QStringLiteral("TRIG? T%1").arg(channel), {Quantity::Trigger, channel}});
    }
    return sweepOf(readBacks);
}

LinkEvent clickEvent(const Click &click, int serial)
{
    const Scoped &scoped = scope[click.control];
    if (click.kind == Click::Update)
        return scopeSweep();
    if (click.kind == Click::Get) {
        LinkEvent event = pressed(LinkEvent::GetPressed);
        event.text = QString::fromLatin1(scoped.query);
        event.controls = {{scoped.quantity, scoped.channel}};
        return event;
    }
    LinkEvent event = pressed(LinkEvent::SetPressed);
    const bool width = scoped.quantity == Quantity::Width;
    // A value of its own for every set line: 101 ns, 1010 mV, ...
    event.text = QStringLiteral("%1 T%2,%3")
                     .arg(width ? "WIDTH" : "AMPL")
                     .arg(scoped.channel)
                     .arg((width ? 100 : 1000) + serial * 10 + click.control + 1);
    return event;
}

// One case: connect, two clicks with the outputs they make late as `lateness` says, then the
// instrument answers at once and Update data is pressed twice.
void runCase(const Habits &habits, const Click (&clicks)[2], const QMap<int, qint64> &lateness,
             Failures &failures, const QString &name)
{
    InstrumentModel model(habits);
    VirtualLink link(model, failures, name);
    link.press(pressed(LinkEvent::ConnectPressed));
    for (auto it = lateness.begin(); it != lateness.end(); ++it)
        model.lateness.insert(it.key() + model.made(), it.value());
    for (int i = 0; i < 2; ++i)
        link.press(clickEvent(clicks[i], i));
    // Everything that will ever come has come.
    if (model.lastDue() != InstrumentModel::never)
        link.now = qMax(link.now, model.lastDue());
    model.prompt = true;
    link.press(scopeSweep());
    link.press(scopeSweep());
    for (const Scoped &scoped : scope) {
        const QByteArray kind = QByteArray(scoped.query).split(' ').first();
        if (kind == habits.mutedKind || kind == habits.errorKind)
            continue;
        const QByteArray held = model.valueOf(scoped.query);
        const QByteArray seen = link.shown.value(scoped.query);
        if (seen.isEmpty() || seen.toDouble() != held.toDouble())
            failures.note(failures.notCaughtUp,
                          QStringLiteral("%1: after two Update data, %2 shows \"%3\", the instrument "
                                         "holds %4")
                              .arg(name, QLatin1String(scoped.query), QString::fromLatin1(seen),
                                   QString::fromLatin1(held)));
    }
}

QList<Click> allClicks()
{
    QList<Click> clicks;
    for (int control = 0; control < scopeSize; ++control) {
        clicks.append({Click::Get, control});
        clicks.append({Click::Set, control});
    }
    clicks.append({Click::Update, 0});
    return clicks;
}

// Every lateness within the bound: none, one output late, or two.
QList<QMap<int, qint64>> allLateness()
{
    QList<QMap<int, qint64>> all = {{}};
    for (int i = 0; i < lateCandidates; ++i) {
        for (qint64 d : delays) {
            all.append({{i, d}});
            for (int j = i + 1; j < lateCandidates; ++j)
                for (qint64 e : delays)
                    all.append({{i, d}, {j, e}});
        }
    }
    return all;
}

QString describe(const Habits &h)
{
    QStringList parts;
    if (h.deviceServer)
        parts << "device server";
    if (!h.identity)
        parts << "no identity";
    if (h.banner)
        parts << "banner";
    if (h.echo)
        parts << (h.echo == 2 ? "echo behind a prompt" : "echo");
    static const char *const setAnswers[] = {"", "sets answered OK", "sets confirmed",
                                             "sets confirmed with the value kept"};
    if (h.setAnswer)
        parts << setAnswers[h.setAnswer];
    if (h.lineEnd != "\r\n")
        parts << QString::fromLatin1(h.lineEnd).replace("\r", "CR ").replace("\n", "LF ") + "ends lines";
    if (h.repeat)
        parts << "said twice";
    if (!h.mutedKind.isEmpty())
        parts << QString::fromLatin1(h.mutedKind) + " never answered";
    if (!h.errorKind.isEmpty())
        parts << QString::fromLatin1(h.errorKind) + " answered ERR,3";
    if (h.promptAfter)
        parts << "prompt after each answer";
    return parts.isEmpty() ? QStringLiteral("plain") : parts.join(", ");
}

// The habits, as values per habit; a covering array takes every pair of values of two habits
// at least once.
const int habitValues[] = {2, 2, 2, 3, 4, 4, 2, 2, 2, 2};

Habits habitsOf(const QList<int> &row)
{
    static const QByteArray lineEnds[] = {"\r\n", "\n", "\r", "\n\r"};
    Habits h;
    h.deviceServer = row[0];
    h.identity = !row[1];
    h.banner = row[2];
    h.echo = row[3];
    h.setAnswer = row[4];
    h.lineEnd = lineEnds[row[5]];
    h.repeat = row[6];
    h.mutedKind = row[7] ? "AMPL?" : "";
    h.errorKind = row[8] ? "WIDTH?" : "";
    h.promptAfter = row[9];
    return h;
}

QList<QList<int>> coveringArray()
{
    const int n = int(std::size(habitValues));
    QSet<QString> uncovered;
    const auto pairKey = [](int a, int va, int b, int vb) {
        return QStringLiteral("%1=%2,%3=%4").arg(a).arg(va).arg(b).arg(vb);
    };
    for (int a = 0; a < n; ++a)
        for (int b = a + 1; b < n; ++b)
            for (int va = 0; va < habitValues[a]; ++va)
                for (int vb = 0; vb < habitValues[b]; ++vb)
                    uncovered.insert(pairKey(a, va, b, vb));
    QList<QList<int>> rows;
    while (!uncovered.isEmpty()) {
        // Greedy, habit by habit: the value that covers most pairs still uncovered.
        QList<int> row;
        for (int a = 0; a < n; ++a) {
            int best = 0, bestGain = -1;
            for (int va = 0; va < habitValues[a]; ++va) {
                int gain = 0;
                for (int b = 0; b < a; ++b)
                    gain += uncovered.contains(pairKey(b, row[b], a, va));
                for (int b = a + 1; b < n; ++b)
                    for (int vb = 0; vb < habitValues[b]; ++vb)
                        gain += uncovered.contains(pairKey(a, va, b, vb)) ? 1 : 0;
                if (gain > bestGain) {
                    best = va;
                    bestGain = gain;
                }
            }
            row.append(best);
        }
        for (int a = 0; a < n; ++a)
            for (int b = a + 1; b < n; ++b)
                uncovered.remove(pairKey(a, row[a], b, row[b]));
        rows.append(row);
    }
    return rows;
}

} // namespace

class tst_LinkCheck : public QObject
{
    Q_OBJECT

private slots:
    void everyInterleaving_data();
    void everyInterleaving();
};

void tst_LinkCheck::everyInterleaving_data()
{
    QTest::addColumn<QList<Habits>>("configurations");
    QTest::addColumn<QString>("fault");

    QList<Habits> pairs;
    for (const QList<int> &row : coveringArray())
        pairs.append(habitsOf(row));
    QTest::newRow("every pair of habits") << pairs << QString();

    Habits deviceServer;
    deviceServer.deviceServer = true;
    deviceServer.identity = false;
    QTest::newRow("device server, no identity")
        << QList<Habits>{deviceServer}
        << QStringLiteral("fault 1: a fresh connection does not empty a device server's pipe");
    Habits kept;
    kept.setAnswer = 3;
    QTest::newRow("sets confirmed with the value kept")
        << QList<Habits>{kept}
        << QStringLiteral("fault 2: a late set answer with the value kept is taken for a reply");
    Habits prompted;
    prompted.echo = 2;
    QTest::newRow("echo behind a prompt")
        << QList<Habits>{prompted}
        << QStringLiteral("fault 3: an echo behind a prompt is taken for a reply");
    Habits stuck;
    stuck.banner = true;
    stuck.identity = false;
    stuck.mutedKind = "AMPL?";
    QTest::newRow("banner, no identity, amplitude never answered")
        << QList<Habits>{stuck} << QStringLiteral("fault 4: the window stops reading for good");
    Habits errors;
    errors.identity = false;
    errors.errorKind = "AMPL?";
    QTest::newRow("no identity, amplitude answered ERR,3")
        << QList<Habits>{errors}
        << QStringLiteral("fault 5: an error word leaves most controls unread");
    Habits promptAfter;
    promptAfter.promptAfter = true;
    QTest::newRow("prompt after each answer")
        << QList<Habits>{promptAfter}
        << QStringLiteral("fault 6: a prompt after each reply slows Update data past 1 s");
}

void tst_LinkCheck::everyInterleaving()
{
    QFETCH(QList<Habits>, configurations);
    QFETCH(QString, fault);

    // LINKCHECK_SCALE=n runs one case in n (the sanitizers, wine).
    const int scale = qMax(1, qEnvironmentVariableIntValue("LINKCHECK_SCALE"));
    const QList<Click> clicks = allClicks();
    const QList<QMap<int, qint64>> lateness = allLateness();
    QElapsedTimer timer;
    timer.start();

    // Time: one full sweep per configuration, against the instrument answering at once.
    Failures failures;
    for (const Habits &habits : configurations) {
        if (!habits.mutedKind.isEmpty() || habits.lineEnd.isEmpty())
            continue;
        InstrumentModel model(habits);
        Failures ignored;
        VirtualLink link(model, ignored, describe(habits));
        model.prompt = true;
        link.press(pressed(LinkEvent::ConnectPressed));
        const qint64 took = link.press(fullSweep());
        if (took >= 1000)
            failures.note(failures.tooLong,
                          QStringLiteral("%1: Update data took %2 ms against an instrument that "
                                         "answers at once")
                              .arg(describe(habits))
                              .arg(took));
    }

    // Every case, spread over the machine's cores.
    struct Job
    {
        const Habits *habits;
        Click pair[2];
    };
    QList<Job> jobs;
    for (const Habits &habits : configurations)
        for (const Click &first : clicks)
            for (const Click &second : clicks)
                jobs.append({&habits, {first, second}});
    const int threads = qMax(1, int(std::thread::hardware_concurrency()));
    QList<Failures> found(threads);
    QList<qint64> counted(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            qint64 n = 0;
            for (qsizetype j = t; j < jobs.size(); j += threads) {
                const Job &job = jobs.at(j);
                for (qsizetype l = 0; l < lateness.size(); ++l) {
                    if (n++ % scale != 0)
                        continue;
                    ++counted[t];
                    runCase(*job.habits, job.pair, lateness.at(l), found[t],
                            QStringLiteral("%1; clicks %2%3, %4%5; late %6")
                                .arg(describe(*job.habits))
                                .arg("GSU"[job.pair[0].kind])
                                .arg(job.pair[0].control)
                                .arg("GSU"[job.pair[1].kind])
                                .arg(job.pair[1].control)
                                .arg(l));
                }
            }
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    qint64 cases = 0;
    for (int t = 0; t < threads; ++t) {
        failures.add(found[t]);
        cases += counted[t];
    }
    qInfo("bound: T3 and T4 width and amplitude; every two clicks of Get, Set, Update data "
          "(%d); %d habit configurations; each of the first %d outputs on time, late by 0.5, "
          "1.5, 2.5 or 6 s or never, at most two late (%d); then prompt, Update data twice",
          int(clicks.size() * clicks.size()), int(configurations.size()), lateCandidates,
          int(lateness.size()));
    qInfo("%lld cases (one in %d) in %lld ms: %d values in another control, %d not caught up, "
          "%d presses too long",
          cases, scale, timer.elapsed(), failures.wrongControl, failures.notCaughtUp,
          failures.tooLong);
    if (!failures.first.isEmpty())
        qInfo("first: %s", qPrintable(failures.first));
    if (!fault.isEmpty())
        QEXPECT_FAIL("", qPrintable(fault), Continue);
    else
        QEXPECT_FAIL("", "faults 1-6 of the link, each shown by a row of its own", Continue);
    QCOMPARE(failures.total(), 0);
}

QTEST_GUILESS_MAIN(tst_LinkCheck)
#include "tst_linkcheck.moc"

// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

// Every interleaving within a stated bound, on virtual time: the link's core against the
// instrument model, each output on time, late or never. A value may show only in the control
// whose query the instrument answered with it; two presses of Update data must bring every
// control back once the instrument answers at once; no press may hold the window past 20 s.

#include "virtuallink.h"

#include <QElapsedTimer>
#include <QTest>

#include <functional>
#include <thread>

using namespace VirtualTime;

namespace {

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
            all.append(QMap<int, qint64>{{i, d}});
            for (int j = i + 1; j < lateCandidates; ++j)
                for (qint64 e : delays)
                    all.append(QMap<int, qint64>{{i, d}, {j, e}});
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
    if (!h.banner.isEmpty())
        parts << "banner";
    if (h.echo)
        parts << (h.echo == 2 ? "echo behind a prompt" : "echo");
    static const char *const setAnswers[] = {"", "sets answered OK", "sets confirmed",
                                             "sets confirmed with the value kept"};
    if (h.setAnswer)
        parts << setAnswers[h.setAnswer];
    if (h.lineEnd != "\r\n")
        parts << QString::fromLatin1(h.lineEnd).replace("\r", "CR ").replace("\n", "LF ")
                + "ends lines";
    if (h.repeat)
        parts << "said twice";
    for (const QByteArray &muted : h.mute)
        parts << QString::fromLatin1(muted) + " never answered";
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
    h.banner = row[2] ? "ser2net port tcp,4000" : "";
    h.echo = row[3];
    h.setAnswer = row[4];
    h.lineEnd = lineEnds[row[5]];
    h.repeat = row[6];
    if (row[7])
        h.mute = {"AMPL?"};
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

    QList<Habits> pairs;
    for (const QList<int> &row : coveringArray())
        pairs.append(habitsOf(row));
    QTest::newRow("every pair of habits") << pairs;
    // LINKCHECK_EACH=1: each configuration of the covering array as a row of its own as well.
    if (qEnvironmentVariableIsSet("LINKCHECK_EACH"))
        for (const Habits &habits : std::as_const(pairs))
            QTest::newRow(qPrintable(describe(habits))) << QList<Habits>{habits};

    Habits deviceServer;
    deviceServer.deviceServer = true;
    deviceServer.identity = false;
    QTest::newRow("device server, no identity") << QList<Habits>{deviceServer};
    Habits kept;
    kept.setAnswer = 3;
    QTest::newRow("sets confirmed with the value kept") << QList<Habits>{kept};
    Habits prompted;
    prompted.echo = 2;
    QTest::newRow("echo behind a prompt") << QList<Habits>{prompted};
    Habits stuck;
    stuck.banner = "ser2net port tcp,4000";
    stuck.identity = false;
    stuck.mute = {"AMPL?"};
    QTest::newRow("banner, no identity, amplitude never answered") << QList<Habits>{stuck};
    Habits errors;
    errors.identity = false;
    errors.errorKind = "AMPL?";
    QTest::newRow("no identity, amplitude answered ERR,3") << QList<Habits>{errors};
    Habits promptAfter;
    promptAfter.promptAfter = true;
    QTest::newRow("prompt after each answer") << QList<Habits>{promptAfter};
}

void tst_LinkCheck::everyInterleaving()
{
    QFETCH(QList<Habits>, configurations);

    // LINKCHECK_SCALE=n runs one case in n (the sanitizers, wine).
    const int scale = qMax(1, qEnvironmentVariableIntValue("LINKCHECK_SCALE"));
    const QList<Click> clicks = allClicks();
    const QList<QMap<int, qint64>> lateness = allLateness();
    QElapsedTimer timer;
    timer.start();

    // Time: one full sweep per configuration, against the instrument answering at once.
    Failures failures;
    for (const Habits &habits : configurations) {
        if (!habits.mute.isEmpty() || habits.lineEnd.isEmpty())
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
            for (qsizetype j = t; j < jobs.size(); j += threads) {
                const Job &job = jobs.at(j);
                for (qsizetype l = 0; l < lateness.size(); ++l) {
                    // The same cases whatever the number of threads.
                    if ((j * lateness.size() + l) % scale != 0)
                        continue;
                    ++counted[t];
                    runCase(*job.habits, {job.pair[0], job.pair[1]}, lateness.at(l), found[t],
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
    QCOMPARE(failures.total(), 0);
}

QTEST_GUILESS_MAIN(tst_LinkCheck)
#include "tst_linkcheck.moc"

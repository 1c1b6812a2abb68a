// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

// The link's decisions on virtual time, one row per instrument habit that has put a value in the
// wrong control, kept the window from reading, or held it too long: the lines sent, the outputs
// late or missing, and what the window shows.

#include "virtuallink.h"

#include <QTest>

using namespace VirtualTime;

// Outputs made after connecting, counted from 0, and how late each comes (-1: never).
using Lateness = QMap<int, qint64>;
Q_DECLARE_METATYPE(Habits)

class tst_LinkCore : public QObject
{
    Q_OBJECT

private slots:
    void habits_data();
    void habits();
};

void tst_LinkCore::habits_data()
{
    QTest::addColumn<Habits>("habits");
    QTest::addColumn<QList<Click>>("clicks");
    QTest::addColumn<Lateness>("lateness");
    QTest::addColumn<int>("catchUp");         // Update data presses once the instrument is prompt
    QTest::addColumn<qint64>("pressLimitMs"); // no press may take longer
    QTest::addColumn<QString>("fault");       // an expected failure until mended

    const Click getWidth3{Click::Get, 0}, setWidth3{Click::Set, 0}, getAmplitude3{Click::Get, 1},
        update{Click::Update, 0}, fullUpdate{Click::FullUpdate, 0};

    Habits plain;
    QTest::newRow("plain instrument, Get, Set, Update data")
        << plain << QList<Click>{getWidth3, setWidth3, update} << Lateness{} << 1 << qint64(1000)
        << QString();

    // A serial instrument behind a device server keeps what it owes across connections: the width
    // held 6 s comes out on the fresh connection, where the amplitude's reply is awaited.
    Habits deviceServer;
    deviceServer.deviceServer = true;
    deviceServer.identity = false;
    QTest::newRow("device server, no identity, width held 6 s, then Update data")
        << deviceServer << QList<Click>{getWidth3, update} << Lateness{{0, 500}, {1, 6000}} << 2
        << pressLimitMs << QStringLiteral("fault 1: a fresh connection does not empty the pipe");

    // The width set refused, answered 1.5 s late with the width kept.
    Habits kept;
    kept.setAnswer = 3;
    QTest::newRow("set answered 1.5 s late with the value kept, then Get on that channel")
        << kept << QList<Click>{setWidth3, getWidth3, getAmplitude3} << Lateness{{0, 1500}} << 2
        << pressLimitMs
        << QStringLiteral("fault 2: a set's late answer with the value kept is taken for a reply");

    Habits echoes;
    echoes.echo = 2;
    QTest::newRow("an echo behind a prompt, late, while the next read-back waits")
        << echoes << QList<Click>{setWidth3, getAmplitude3} << Lateness{{0, 1500}, {2, -1}} << 2
        << pressLimitMs << QStringLiteral("fault 3: an echo behind a prompt is taken for a reply");

    Habits stuck;
    stuck.banner = true;
    stuck.identity = false;
    stuck.mutedKind = "AMPL?";
    QTest::newRow("banner, no identity, amplitude never answered: two Gets, two Update data")
        << stuck << QList<Click>{getWidth3, getWidth3} << Lateness{} << 2 << pressLimitMs
        << QStringLiteral("fault 4: the width never reads again");

    Habits errors;
    errors.identity = false;
    errors.errorKind = "AMPL?";
    QTest::newRow("no identity, amplitude answered ERR,3: the first Update data")
        << errors << QList<Click>{} << Lateness{} << 1 << pressLimitMs
        << QStringLiteral("fault 5: an error word leaves controls unread");

    Habits prompt;
    prompt.promptAfter = true;
    QTest::newRow("a prompt 20 ms after each reply: Update data under 1 s")
        << prompt << QList<Click>{fullUpdate} << Lateness{} << 0 << qint64(1000)
        << QStringLiteral("fault 6: a prompt after each reply slows Update data");

    Habits slow;
    slow.everyReplyLate = 2500;
    QTest::newRow("every reply 2.5 s late: Update data gives the window back within 10 s")
        << slow << QList<Click>{fullUpdate} << Lateness{} << 0 << qint64(10000)
        << QStringLiteral("fault 7: every reply late holds the window 12 s");
}

void tst_LinkCore::habits()
{
    QFETCH(Habits, habits);
    QFETCH(QList<Click>, clicks);
    QFETCH(Lateness, lateness);
    QFETCH(int, catchUp);
    QFETCH(qint64, pressLimitMs);
    QFETCH(QString, fault);

    Failures failures;
    runCase(habits, clicks, lateness, failures, QString::fromLatin1(QTest::currentDataTag()),
            catchUp, pressLimitMs);
    qInfo("longest press %lld ms", failures.longestPress);
    if (!fault.isEmpty())
        QEXPECT_FAIL("", qPrintable(fault), Continue);
    QVERIFY2(failures.total() == 0, qPrintable(failures.first));
}

QTEST_GUILESS_MAIN(tst_LinkCore)
#include "tst_linkcore.moc"

// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

// The link's decisions on virtual time, one row per instrument habit that has put a value in the
// wrong control, kept the window from reading, or held it too long: the lines sent, the outputs
// late or missing, and what the window shows.

#include "virtuallink.h"

#include <QTest>

#include <algorithm>

using namespace VirtualTime;

namespace {

// Windows calls a window that has not taken input for this long hung, and offers to end it.
constexpr qint64 hungAfterMs = 5000;

} // namespace

// Outputs made after connecting, counted from 0, and how late each comes (-1: never).
using Lateness = QMap<int, qint64>;
Q_DECLARE_METATYPE(Habits)

class tst_LinkCore : public QObject
{
    Q_OBJECT

private slots:
    void habits_data();
    void habits();
    void unansweredSweeps_data();
    void unansweredSweeps();
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
    stuck.banner = "ser2net port tcp,4000";
    stuck.identity = false;
    stuck.mute = {"AMPL?"};
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

void tst_LinkCore::unansweredSweeps_data()
{
    QTest::addColumn<int>("silentForLines"); // answers none of the connection's first lines
    QTest::addColumn<QStringList>("mute");
    QTest::addColumn<QStringList>("holds");       // "line=ms": that answer, and all behind it, late
    QTest::addColumn<int>("lateMs");              // every answer to a query this late
    QTest::addColumn<QList<int>>("linesSent");    // by each Update data in turn
    QTest::addColumn<QStringList>("stops");       // the line each logs as it stops, or ""
    QTest::addColumn<qint64>("boundMs");          // for the first
    QTest::addColumn<QStringList>("unanswered");  // controls left as they were, by path piece
    QTest::addColumn<QStringList>("clicksFirst"); // before the first press of Update data
    QTest::addColumn<QStringList>("habits");      // "telnet", "banner", "identity=<text>"

    const QString silence =
        QStringLiteral("Update data stopped: no answer to 2 read-backs in a row, %1 not sent");
    const QString lateness = QStringLiteral(
        "Update data stopped: the instrument answers later than the program waits, %1 not sent");
    const QStringList everything = {"FREQ", "AMPL", "WIDTH", "DELAY", "TRIG"};
    // Each read-back after an unanswered one first asks for the identity: its reply shows that
    // nothing more is coming for the one before.
    QTest::newRow("silent after the identity")
        << 0 << everything << QStringList() << 0 << QList<int>{3, 4}
        << QStringList{silence.arg(36), silence.arg(36)} << hungAfterMs << QStringList{"w"}
        << QStringList() << QStringList();
    QTest::newRow("silent after the frequencies")
        << 0 << QStringList{"AMPL", "WIDTH", "DELAY", "TRIG"} << QStringList() << 0 << QList<int>{5}
        << QStringList{silence.arg(34)} << hungAfterMs << QStringList{"wChannel"} << QStringList()
        << QStringList();
    // The identity query and the first two lines go unanswered. An identity query that brought
    // nothing settles nothing when asked again: the next press connects afresh, and the new
    // connection's identity shows the instrument answering.
    QTest::newRow("silent, then answering")
        << 3 << QStringList() << QStringList() << 0 << QList<int>{2, 1 + 38}
        << QStringList{silence.arg(37), QString()} << hungAfterMs << QStringList() << QStringList()
        << QStringList();
    QTest::newRow("one kind never answered")
        << 0 << QStringList{"DELAY?"} << QStringList() << 0 << QList<int>{38 + 9}
        << QStringList{QString()} << qint64(9 * 2000 + 2000) << QStringList{"leDelay"}
        << QStringList() << QStringList();
    // Ten read-backs never answered cost 20 s of waits: the press gives the window back before,
    // in the middle of the last delay's waits, and T8's trigger is left for the next press.
    QTest::newRow("the delay and one source never answered")
        << 0 << QStringList{"FREQ? F1", "DELAY?"} << QStringList() << 0 << QList<int>{46}
        << QStringList{QStringLiteral(
               "Update data stopped: a press holds the window 20 s at the most, 1 not sent")}
        << qint64(20000) << QStringList{"wFrequency1", "leDelay", "wChannel8/cbTrigger"}
        << QStringList() << QStringList();
    // A reply held up past both waits, as by a lost packet sent again, comes while the next
    // read-back of the same channel waits: it must not be taken for that one's.
    QTest::newRow("amplitude of T3 held 2.2 s")
        << 0 << QStringList() << QStringList{"AMPL? T3=2200"} << 0 << QList<int>{38 + 1}
        << QStringList{QString()} << qint64(10000) << QStringList{"wChannel3/dsbAmplitude"}
        << QStringList() << QStringList();
    QTest::newRow("width of T5 held 3.5 s")
        << 0 << QStringList() << QStringList{"WIDTH? T5=3500"} << 0 << QList<int>{38 + 1}
        << QStringList{QString()} << qint64(10000) << QStringList{"wChannel5/sbWidth"}
        << QStringList() << QStringList();
    QTest::newRow("every reply 2.5 s late")
        << 0 << QStringList() << QStringList() << 2500 << QList<int>{2}
        << QStringList{lateness.arg(37)} << qint64(10000) << QStringList{"w"} << QStringList()
        << QStringList();
    // Six replies held 3.4 s: each costs its waits again. The press gives the window back within
    // 20 s; the next one first finds where the instrument has got to, meets the last two held,
    // and the third reads everything.
    QTest::newRow("six replies held 3.4 s")
        << 0 << QStringList() << QStringList{"AMPL? T1=3400", "WIDTH? T2=3400", "DELAY? T3=3400",
                                             "TRIG? T4=3400", "AMPL? T5=3400",  "WIDTH? T6=3400"}
        << 0 << QList<int>{22 + 3, 38 + 3, 38}
        << QStringList{lateness.arg(16), QString(), QString()} << qint64(20000) << QStringList()
        << QStringList() << QStringList();
    // One Get whose reply comes after both waits; then the instrument is prompt again. Where the
    // identity cannot show that nothing more is coming, a fresh connection does: two presses
    // read every value.
    const QStringList getHeld = {"wChannel3/pbGetWidth"};
    const QStringList widthHeld = {"WIDTH? T3=2500"};
    QTest::newRow("identity never answered, one Get held 2.5 s")
        << 0 << QStringList{"*IDN?"} << widthHeld << 0 << QList<int>{1, 1 + 38, 38}
        << QStringList{lateness.arg(38), QString(), QString()} << qint64(10000) << QStringList()
        << getHeld << QStringList();
    // Each press: the amplitude of T0 owed, and no identity to show that nothing more comes.
    QTest::newRow("identity never answered, one kind never answered")
        << 0 << QStringList{"*IDN?", "AMPL? T0"} << QStringList() << 0 << QList<int>{1 + 38, 1 + 38}
        << QStringList{QString(), QString()} << qint64(10000)
        << QStringList{"wChannel0/dsbAmplitude"} << QStringList() << QStringList();
    // Busy for its first lines and never answering the identity: nothing can settle what the
    // first press left owed but a new connection, which the second press opens.
    QTest::newRow("identity never answered, silent for the first three lines")
        << 3 << QStringList{"*IDN?"} << QStringList() << 0 << QList<int>{2, 1 + 37, 38}
        << QStringList{silence.arg(37), QString(), QString()} << hungAfterMs << QStringList()
        << QStringList() << QStringList();
    QTest::newRow("telnet-mode bridge, one Get held 2.5 s")
        << 0 << QStringList() << widthHeld << 0 << QList<int>{1 + 38, 38}
        << QStringList{QString(), QString()} << qint64(10000) << QStringList() << getHeld
        << QStringList{"telnet"};
    // The banner comes while the identity is asked for on connecting, and passes for it.
    QTest::newRow("bridge's banner, identity never answered, one Get held 2.5 s")
        << 0 << QStringList{"*IDN?"} << widthHeld << 0 << QList<int>{1, 1 + 1 + 38, 38}
        << QStringList{lateness.arg(38), QString(), QString()} << qint64(10000) << QStringList()
        << getHeld << QStringList{"banner"};
    QTest::newRow("identity without a comma, set lines unanswered, one Get held 2.5 s")
        << 0 << QStringList() << widthHeld << 0 << QList<int>{1 + 38, 38}
        << QStringList{QString(), QString()} << qint64(10000) << QStringList()
        << QStringList{"wChannel1/pbSetWidth", "wChannel2/pbSetWidth", "wChannel4/pbSetWidth",
                       "wChannel3/pbGetWidth"}
        << QStringList{"identity=DG318"};
}

// An instrument that stops answering gives the window back within two read-backs' waits;
// one that answers anything at all is asked for every value; one whose replies come after the
// waits never puts a value into another control.
void tst_LinkCore::unansweredSweeps()
{
    QFETCH(int, silentForLines);
    QFETCH(QStringList, mute);
    QFETCH(QStringList, holds);
    QFETCH(int, lateMs);
    QFETCH(QList<int>, linesSent);
    QFETCH(QStringList, stops);
    QFETCH(qint64, boundMs);
    QFETCH(QStringList, unanswered);
    QFETCH(QStringList, clicksFirst);
    QFETCH(QStringList, habits);

    Habits instrument;
    for (const QString &habit : habits) {
        if (habit == QLatin1String("telnet"))
            instrument.telnet = true;
        else if (habit == QLatin1String("banner"))
            instrument.banner = "ser2net port 4000 device /dev/ttyUSB0 [9600N81]";
        else if (habit.startsWith(QLatin1String("identity=")))
            instrument.identityText = habit.mid(9).toUtf8();
    }
    instrument.silentFor = silentForLines;
    for (const QString &prefix : mute)
        instrument.mute.append(prefix.toUtf8());
    instrument.queryLate = lateMs;
    for (const QString &hold : holds) {
        const qsizetype separator = hold.lastIndexOf(QLatin1Char('='));
        instrument.holds.insert(hold.left(separator).toUtf8(), hold.mid(separator + 1).toInt());
    }
    InstrumentModel model(instrument);
    Failures failures;
    VirtualLink link(model, failures, QString::fromLatin1(QTest::currentDataTag()));
    link.keepLog = true;
    link.press(pressed(LinkEvent::ConnectPressed));
    // "wChannel3/pbGetWidth": the Get or Set button of a channel's width.
    for (const QString &button : clicksFirst) {
        const int channel = button.mid(8, 1).toInt();
        const bool get = button.endsWith(QLatin1String("pbGetWidth"));
        LinkEvent click = pressed(get ? LinkEvent::GetPressed : LinkEvent::SetPressed);
        click.text = get ? QStringLiteral("WIDTH? T%1").arg(channel)
                         : QStringLiteral("WIDTH T%1,200").arg(channel);
        click.controls = {{Quantity::Width, channel}};
        link.press(click);
    }

    // The window's controls, by the path a socket test finds them at, and the query of each.
    QList<std::pair<QString, QByteArray>> controls = {{"wFrequency1/sbFrequency", "FREQ? F1"},
                                                      {"wFrequency2/sbFrequency", "FREQ? F2"}};
    for (int n = 0; n < 9; ++n) {
        const QString panel = QStringLiteral("wChannel%1/").arg(n);
        controls.append({panel + "cbTrigger", "TRIG? T" + QByteArray::number(n)});
        controls.append({panel + "sbWidth", "WIDTH? T" + QByteArray::number(n)});
        controls.append({panel + "dsbAmplitude", "AMPL? T" + QByteArray::number(n)});
        controls.append({panel + "leDelay", "DELAY? T" + QByteArray::number(n)});
    }
    for (qsizetype sweep = 0; sweep < linesSent.size(); ++sweep) {
        // Values no read-back gives: whatever is not read back stays unshown.
        link.shown.clear();
        link.log.clear();
        const int linesBefore = model.linesReceived();
        const qint64 sweeping = link.press(fullSweep());
        if (sweep == 0)
            QVERIFY2(sweeping < boundMs, qPrintable(QString::number(sweeping)));
        const bool last = sweep + 1 == linesSent.size();
        for (const auto &[path, query] : controls) {
            const bool leftAlone =
                std::any_of(unanswered.cbegin(), unanswered.cend(),
                            [&](const QString &piece) { return path.contains(piece); });
            const bool shown = link.shown.contains(query);
            const QByteArray value = link.shown.value(query).trimmed();
            const QByteArray held = model.valueOf(query);
            const bool instrumentValue =
                shown && (value == held || (value.toDouble() == held.toDouble() && value != "OFF"));
            // Before the last press, whatever was not read back shows what it showed.
            const bool either = !last && !shown;
            QVERIFY2(either || (leftAlone ? !shown : instrumentValue),
                     qPrintable(path + QLatin1String(" shows ") + QString::fromLatin1(value)));
        }
        QCOMPARE(model.linesReceived() - linesBefore, linesSent.at(sweep));
        QCOMPARE(link.log.filter(QStringLiteral("Update data stopped")),
                 stops.at(sweep).isEmpty() ? QStringList() : QStringList{stops.at(sweep)});
    }
    QVERIFY2(failures.wrongControl == 0, qPrintable(failures.first));
}

QTEST_GUILESS_MAIN(tst_LinkCore)
#include "tst_linkcore.moc"

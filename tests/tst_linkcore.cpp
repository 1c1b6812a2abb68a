// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

// The link's decisions on virtual time, one row per instrument habit that has put a value in the
// wrong control, kept the window from reading, or held it too long: the lines sent, the outputs
// late or missing, and what the window shows. Then, line by line from a scripted instrument, what
// each line it writes back brings the user.

#include "virtuallink.h"
#include "wiregrammar.h"

#include <QTest>

#include <algorithm>
#include <optional>
#include <utility>

using namespace VirtualTime;

namespace {

// Windows calls a window that has not taken input for this long hung, and offers to end it.
constexpr qint64 hungAfterMs = 5000;

// The control a query reads: "WIDTH? T3" the width of channel 3.
Control controlOf(const QString &query)
{
    static const std::pair<const char *, Quantity> words[] = {{"FREQ?", Quantity::Frequency},
                                                              {"TRIG?", Quantity::Trigger},
                                                              {"WIDTH?", Quantity::Width},
                                                              {"AMPL?", Quantity::Amplitude},
                                                              {"DELAY?", Quantity::Delay}};
    Control control;
    for (const auto &[word, quantity] : words) {
        if (query.section(QLatin1Char(' '), 0, 0) == QLatin1String(word))
            control.quantity = quantity;
    }
    control.channel = query.section(QLatin1Char(' '), 1).mid(1).toInt();
    return control;
}

// A script of what the user presses and what the instrument writes back, a step a line:
// "connect" (Connect pressed), "> LINE" (Set pressed, a set line), "? QUERY" (Get pressed),
// "< LINE" (a whole line from the instrument, ended by CR LF), "~" (the waits of the line under
// way end, with nothing more from the instrument). Behind " = ", what the step brings, "; "
// between: the user's log lines, "shown VALUE" (the value in the Get's control) and "sends LINE"
// (a line written to the instrument). Where a step says nothing, a press sends its line and the
// rest bring nothing. "discarded", "late" and "answer" stand for the log lines that name the
// step's own line: `discarded: "LINE\r\n"`, `late, discarded: "LINE\r\n"`, `answer: "LINE\r\n"`.
QStringList sightsOf(const QString &step)
{
    const qsizetype equals = step.indexOf(QLatin1String(" = "));
    const QString what = equals < 0 ? step : step.left(equals);
    const QString line = what.mid(2);
    if (equals < 0) {
        if (what == QLatin1String("connect"))
            return {QStringLiteral("sends *IDN?")};
        return what.startsWith(QLatin1Char('>')) || what.startsWith(QLatin1Char('?'))
            ? QStringList{QLatin1String("sends ") + line}
            : QStringList();
    }
    QStringList sights = step.mid(equals + 3).split(QLatin1String("; "));
    for (QString &sight : sights) {
        const QString quoted = QLatin1Char('"') + line + QLatin1String("\\r\\n\"");
        if (sight == QLatin1String("discarded"))
            sight = QLatin1String("discarded: ") + quoted;
        else if (sight == QLatin1String("late"))
            sight = QLatin1String("late, discarded: ") + quoted;
        else if (sight == QLatin1String("answer"))
            sight = QLatin1String("answer: ") + quoted;
    }
    return sights;
}

// Plays a script against the core on virtual time: each line the instrument writes back comes
// at the next wait once the press has written its first line (a line that comes while the window
// is the user's waits in the system for the next wait of any kind), and "~" jumps the clock to
// the end of each wait until the next line goes out.
class ScriptedLink
{
public:
    explicit ScriptedLink(const QStringList &steps)
        : steps(steps)
    {
    }

    // What the user saw and the link sent, in order.
    QStringList play()
    {
        while (next < steps.size() && failure.isEmpty()) {
            const QString what = stepAt(next++);
            LinkEvent event;
            if (what == QLatin1String("connect")) {
                event.kind = LinkEvent::ConnectPressed;
            } else if (what.startsWith(QLatin1String("> "))) {
                event.kind = LinkEvent::SetPressed;
                event.text = what.mid(2);
            } else if (what.startsWith(QLatin1String("? "))) {
                event.kind = LinkEvent::GetPressed;
                event.text = what.mid(2);
                event.controls = {controlOf(event.text)};
                control = event.controls.first();
            } else if (what.startsWith(QLatin1String("< "))) {
                held += what.mid(2).toLatin1() + "\r\n";
                continue;
            } else {
                failure = QLatin1String("nothing waits for \"") + what + QLatin1Char('"');
                break;
            }
            press(event);
        }
        if (failure.isEmpty() && !core.idle())
            failure = QStringLiteral("the link still waits when the script ends");
        if (failure.isEmpty() && !held.isEmpty())
            failure = QStringLiteral("never taken in: ") + QString::fromLatin1(held.trimmed());
        return sights;
    }

    QString failure;

private:
    QString stepAt(qsizetype index) const
    {
        const QString &step = steps.at(index);
        return step.left(step.indexOf(QLatin1String(" = ")));
    }

    void press(const LinkEvent &pressed)
    {
        wrote = false;
        waitsOver = false;
        std::optional<LinkEvent> report = pressed;
        while (report && failure.isEmpty()) {
            report->at = now;
            const QList<LinkAction> actions = core.handle(*report);
            report.reset();
            for (const LinkAction &action : actions) {
                switch (action.kind) {
                case LinkAction::Log:
                    log(action.text);
                    break;
                case LinkAction::Show:
                    show(action);
                    break;
                case LinkAction::Connect:
                    held.clear(); // a fresh connection: the old one's stream is gone
                    report = LinkEvent{LinkEvent::Connected};
                    break;
                case LinkAction::Write:
                    sights.append(QLatin1String("sends ")
                                  + QString::fromLatin1(action.bytes.trimmed()));
                    wrote = true;
                    waitsOver = false;
                    report = LinkEvent{LinkEvent::Written};
                    break;
                case LinkAction::WakeAt:
                    report = wake(action.at);
                    break;
                default:
                    break;
                }
            }
        }
    }

    std::optional<LinkEvent> wake(qint64 at)
    {
        LinkEvent arrived{LinkEvent::BytesArrived};
        const bool lineDue = wrote && !waitsOver && next < steps.size();
        if (!held.isEmpty()) {
            arrived.bytes = std::exchange(held, {});
        } else if (lineDue && stepAt(next).startsWith(QLatin1String("< "))) {
            arrived.bytes = stepAt(next++).mid(2).toLatin1() + "\r\n";
        } else if (lineDue && stepAt(next) == QLatin1String("~")) {
            ++next;
            waitsOver = true;
        } else if (wrote && !waitsOver) {
            failure =
                QStringLiteral("the link waits for the instrument after: ") + sights.join("; ");
            return std::nullopt;
        }
        if (arrived.bytes.isEmpty())
            now = qMax(now, at);
        return arrived;
    }

    void log(const QString &text)
    {
        // Each line written is recorded as it goes out.
        if (text == QLatin1String("Connected") || text.startsWith(QLatin1String("query: ")))
            return;
        // The identity on connecting, and a trigger's reply, are logged again under the answer.
        if (text.startsWith(QLatin1String("answer: ")))
            lastAnswer = text.mid(8);
        else if (text == lastAnswer)
            return;
        sights.append(text);
    }

    void show(const LinkAction &action)
    {
        QString sight = QLatin1String("shown ")
            + (action.control.quantity == Quantity::Trigger
                   ? QLatin1String(WireGrammar::triggerKeywords[action.triggerType])
                   : QString::number(action.value));
        if (action.control.quantity != control.quantity
            || action.control.channel != control.channel)
            sight +=
                QLatin1String(" in ") + QString::fromLatin1(VirtualTime::queryOf(action.control));
        sights.append(sight);
    }

    LinkCore core;
    QStringList steps;
    qsizetype next = 0;
    qint64 now = 0;
    QByteArray held;    // come while the window was the user's
    bool wrote = false; // the press has written a line
    bool waitsOver = false;
    Control control; // the one the last Get reads
    QString lastAnswer;
    QStringList sights;
};

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
    void linesInOrder_data();
    void linesInOrder();
};

void tst_LinkCore::habits_data()
{
    QTest::addColumn<Habits>("habits");
    QTest::addColumn<QList<Click>>("clicks");
    QTest::addColumn<Lateness>("lateness");
    QTest::addColumn<int>("catchUp");         // Update data presses once the instrument is prompt
    QTest::addColumn<qint64>("pressLimitMs"); // no press may take longer

    const Click getWidth3{Click::Get, 0}, setWidth3{Click::Set, 0}, getAmplitude3{Click::Get, 1},
        update{Click::Update, 0}, fullUpdate{Click::FullUpdate, 0};

    Habits plain;
    QTest::newRow("plain instrument, Get, Set, Update data")
        << plain << QList<Click>{getWidth3, setWidth3, update} << Lateness{} << 1 << qint64(1000);

    // A serial instrument behind a device server keeps what it owes across connections: the width
    // held 6 s comes out on the fresh connection, where the amplitude's reply is awaited.
    Habits deviceServer;
    deviceServer.deviceServer = true;
    deviceServer.identity = false;
    QTest::newRow("device server, no identity, width held 6 s, then Update data")
        << deviceServer << QList<Click>{getWidth3, update} << Lateness{{0, 500}, {1, 6000}} << 2
        << pressLimitMs;

    // The width set refused, answered 1.5 s late with the width kept.
    Habits kept;
    kept.setAnswer = 3;
    QTest::newRow("set answered 1.5 s late with the value kept, then Get on that channel")
        << kept << QList<Click>{setWidth3, getWidth3, getAmplitude3} << Lateness{{0, 1500}} << 2
        << pressLimitMs;

    Habits echoes;
    echoes.echo = 2;
    QTest::newRow("an echo behind a prompt, late, while the next read-back waits")
        << echoes << QList<Click>{setWidth3, getAmplitude3} << Lateness{{0, 1500}, {2, -1}} << 2
        << pressLimitMs;

    Habits stuck;
    stuck.banner = "ser2net port tcp,4000";
    stuck.identity = false;
    stuck.mute = {"AMPL?"};
    QTest::newRow("banner, no identity, amplitude never answered: two Gets, two Update data")
        << stuck << QList<Click>{getWidth3, getWidth3} << Lateness{} << 2 << pressLimitMs;

    Habits errors;
    errors.identity = false;
    errors.errorKind = "AMPL?";
    QTest::newRow("no identity, amplitude answered ERR,3: Update data reads the rest in 1 s")
        << errors << QList<Click>{fullUpdate} << Lateness{} << 1 << qint64(1000);

    Habits prompt;
    prompt.promptAfter = true;
    QTest::newRow("a prompt 20 ms after each reply: Update data under 1 s")
        << prompt << QList<Click>{fullUpdate} << Lateness{} << 0 << qint64(1000);

    Habits slow;
    slow.everyReplyLate = 2500;
    QTest::newRow("every reply 2.5 s late: Update data gives the window back within 10 s")
        << slow << QList<Click>{fullUpdate} << Lateness{} << 0 << qint64(10000);
}

void tst_LinkCore::habits()
{
    QFETCH(Habits, habits);
    QFETCH(QList<Click>, clicks);
    QFETCH(Lateness, lateness);
    QFETCH(int, catchUp);
    QFETCH(qint64, pressLimitMs);

    Failures failures;
    runCase(habits, clicks, lateness, failures, QString::fromLatin1(QTest::currentDataTag()),
            catchUp, pressLimitMs);
    qInfo("longest press %lld ms", failures.longestPress);
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
    // A read-back of another channel goes out at once after an unanswered one, and so does the
    // same query owed: each press reads the two frequencies.
    QTest::newRow("silent after the identity")
        << 0 << everything << QStringList() << 0 << QList<int>{2, 2}
        << QStringList{silence.arg(36), silence.arg(36)} << hungAfterMs << QStringList{"w"}
        << QStringList() << QStringList();
    QTest::newRow("silent after the frequencies")
        << 0 << QStringList{"AMPL", "WIDTH", "DELAY", "TRIG"} << QStringList() << 0 << QList<int>{5}
        << QStringList{silence.arg(34)} << hungAfterMs << QStringList{"wChannel"} << QStringList()
        << QStringList();
    // The identity query and the first two lines go unanswered. The next press asks the same
    // again, and reads everything.
    QTest::newRow("silent, then answering")
        << 3 << QStringList() << QStringList() << 0 << QList<int>{2, 38}
        << QStringList{silence.arg(36), QString()} << hungAfterMs << QStringList() << QStringList()
        << QStringList();
    QTest::newRow("one kind never answered")
        << 0 << QStringList{"DELAY?"} << QStringList() << 0 << QList<int>{38 + 9}
        << QStringList{QString()} << qint64(9 * 2000 + 2000) << QStringList{"leDelay"}
        << QStringList() << QStringList();
    // Ten read-backs never answered cost 20 s of waits: the press gives the window back before,
    // in the middle of the last delay's waits, and T8's trigger is left for the next press.
    QTest::newRow("the delay and one source never answered")
        << 0 << QStringList{"FREQ? F1", "DELAY?"} << QStringList() << 0 << QList<int>{45}
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
        << 0 << QStringList() << QStringList() << 2500 << QList<int>{5}
        << QStringList{lateness.arg(34)} << qint64(10000) << QStringList{"w"} << QStringList()
        << QStringList();
    // Six replies held 3.4 s: each costs its waits again. Once replies have come late a press
    // gives the window back within 10 s; the second meets the last ones held, and the third
    // reads everything.
    QTest::newRow("six replies held 3.4 s")
        << 0 << QStringList() << QStringList{"AMPL? T1=3400", "WIDTH? T2=3400", "DELAY? T3=3400",
                                             "TRIG? T4=3400", "AMPL? T5=3400",  "WIDTH? T6=3400"}
        << 0 << QList<int>{24, 31, 38} << QStringList{lateness.arg(16), lateness.arg(9), QString()}
        << qint64(10001) << QStringList() << QStringList() << QStringList();
    // One Get whose reply comes after both waits; then the instrument is prompt again. The held
    // reply comes while the first frequency is read, which nothing owed names: it settles the
    // width, and every press reads every value.
    const QStringList getHeld = {"wChannel3/pbGetWidth"};
    const QStringList widthHeld = {"WIDTH? T3=2500"};
    QTest::newRow("identity never answered, one Get held 2.5 s")
        << 0 << QStringList{"*IDN?"} << widthHeld << 0 << QList<int>{38, 38, 38}
        << QStringList{QString(), QString(), QString()} << qint64(10000) << QStringList() << getHeld
        << QStringList();
    // Each press: the amplitude of T0 owed, and no identity to show that nothing more comes.
    QTest::newRow("identity never answered, one kind never answered")
        << 0 << QStringList{"*IDN?", "AMPL? T0"} << QStringList() << 0 << QList<int>{1 + 38, 1 + 38}
        << QStringList{QString(), QString()} << qint64(10000)
        << QStringList{"wChannel0/dsbAmplitude"} << QStringList() << QStringList();
    // Busy for its first lines and never answering the identity: the second press's first
    // reply settles what the first left owed.
    QTest::newRow("identity never answered, silent for the first three lines")
        << 3 << QStringList{"*IDN?"} << QStringList() << 0 << QList<int>{2, 38, 38}
        << QStringList{silence.arg(36), QString(), QString()} << hungAfterMs << QStringList()
        << QStringList() << QStringList();
    QTest::newRow("telnet-mode bridge, one Get held 2.5 s")
        << 0 << QStringList() << widthHeld << 0 << QList<int>{38, 38}
        << QStringList{QString(), QString()} << qint64(10000) << QStringList() << getHeld
        << QStringList{"telnet"};
    // The banner comes while the identity is asked for on connecting, and passes for it; it
    // settles nothing.
    QTest::newRow("bridge's banner, identity never answered, one Get held 2.5 s")
        << 0 << QStringList{"*IDN?"} << widthHeld << 0 << QList<int>{38, 38, 38}
        << QStringList{QString(), QString(), QString()} << qint64(10000) << QStringList() << getHeld
        << QStringList{"banner"};
    QTest::newRow("identity without a comma, set lines unanswered, one Get held 2.5 s")
        << 0 << QStringList() << widthHeld << 0 << QList<int>{38, 38}
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

void tst_LinkCore::linesInOrder_data()
{
    // The steps as ScriptedLink plays them: "connect", "> " a set line, "? " a Get, "< " a line
    // from the instrument, "~" the waits ending; behind " = ", what each brings the user.
    QTest::addColumn<QStringList>("steps");

    const QString id = QStringLiteral("Tarvo,Model 318,SN1,1.0");
    const QStringList connected = {"connect", "< " + id + " = answer"};
    const QString unanswered = QStringLiteral(R"(~ = answer: "")");
    // A first reply that names its channel settles the identity query: nothing it may still send
    // (a banner may have come in the identity's place) can be taken for anything.
    const QStringList settled =
        connected + QStringList{"? FREQ? F1", "< F1,1000 = answer; shown 1000"};
    QTest::newRow("in step: echo, blank line, set answer, reply") << settled
            + QStringList{"> WIDTH T3,350",
                          "< WIDTH T3,350 = discarded",
                          "< OK = discarded",
                          "? WIDTH? T3",
                          "< WIDTH? T3 = discarded",
                          "< ",
                          "< T3,350 = answer; shown 350"};
    // A set line may be answered with its channel and the value kept: a Get of a channel just set,
    // its set line not answered yet, sends a marker first. The marker's reply can come from
    // nothing else, and settles the set line; the marker's value is not shown.
    QTest::newRow("a set line not answered yet, then a Get of its channel: a marker first")
        << connected
            + QStringList{"> WIDTH T3,350", "? WIDTH? T3 = sends WIDTH? T0",
                          "< T0,500 = answer; sends WIDTH? T3", "< T3,350 = answer; shown 350"};
    // A reply about another channel is shown nowhere, and the query is owed: the next Get of its
    // channel sends a marker, and the width's own reply, late, settles it.
    QTest::newRow("a reply about another channel: shown nowhere, the query owed") << connected
            + QStringList{"? WIDTH? T5",
                          "< T4,300 = discarded",
                          unanswered,
                          "? DELAY? T5 = sends DELAY? T0",
                          "< T5,300 = late",
                          "< T0,0 = answer; sends DELAY? T5",
                          "< T5,0 = answer; shown 0"};
    // "CH4,300" names no channel the window knows: an error word with its code, or the identity
    // the identity query may still send.
    QTest::newRow("a line that names nothing, while the identity may still come: shown nowhere")
        << connected + QStringList{"? WIDTH? T5", "< CH4,300 = discarded", unanswered};
    QTest::newRow("a word after a reply, in time: discarded") << connected
            + QStringList{"? AMPL? T5", "< T5,2.9 = answer; shown 2.9", "< OK = discarded",
                          "? WIDTH? T5", "< T5,705 = answer; shown 705"};
    // A line that names nothing may be the query's error word, or a word said after an earlier
    // reply: the query's own reply may still come, and the next Get of its channel sends a marker.
    QTest::newRow("a word taken for a reply, then the reply itself: late") << settled
            + QStringList{"? WIDTH? T5",
                          "< OK",
                          R"(~ = answer: "OK\r\n")",
                          "? DELAY? T5 = sends FREQ? F1",
                          "< T5,705 = late",
                          "< F1,1000 = answer; sends DELAY? T5",
                          "< T5,0 = answer; shown 0"};
    QTest::newRow("set line confirmed with its value, then a Get of another quantity") << connected
            + QStringList{"> WIDTH T3,350", "? DELAY? T3 = sends DELAY? T0", "< T3,350 = discarded",
                          "< T0,0 = answer; sends DELAY? T3", "< T3,0 = answer; shown 0"};
    // The reply reads as the confirmation said twice: shown nowhere, and owed. The next Get of
    // the channel sends a marker first.
    QTest::newRow("set line confirmed, then a Get of it that reads the same: shown nowhere, owed")
        << connected
            + QStringList{"> WIDTH T3,350",
                          "< T3,350 = discarded",
                          "? WIDTH? T3",
                          "< T3,350 = discarded",
                          unanswered,
                          "? DELAY? T3 = sends DELAY? T0",
                          "< T0,0 = answer; sends DELAY? T3",
                          "< T3,0 = answer; shown 0"};
    // The same query owed goes out again at once: whichever of the two answers, the value is the
    // width's. The second one's own reply may still come, and is late.
    QTest::newRow("the same query owed: sent at once, shown, its own reply late") << connected
            + QStringList{"? WIDTH? T3",
                          unanswered,
                          "? WIDTH? T3",
                          "< T3,200 = answer; shown 200",
                          "? FREQ? F1",
                          "< T3,200 = late",
                          "< F1,1000 = answer; shown 1000"};
    QTest::newRow("another channel's confirmation while a held reply is owed") << connected
            + QStringList{"> WIDTH T4,350",
                          "? WIDTH? T3",
                          "< T4,350 = discarded",
                          unanswered,
                          "? DELAY? T3 = sends DELAY? T0",
                          "< T3,703 = late",
                          "< T0,0 = answer; sends DELAY? T3",
                          "< T3,0 = answer; shown 0"};
    QTest::newRow("a reply sent twice") << connected
            + QStringList{"? WIDTH? T3",          "< T3,200 = answer; shown 200", "? DELAY? T3",
                          "< T3,200 = discarded", "< T3,0 = answer; shown 0",     "? TRIG? T3",
                          "< T3,0 = discarded",   "< T3,OFF = answer; shown OFF"};
    QTest::newRow("a set line's confirmation said twice, then a Get of another quantity")
        << connected
            + QStringList{"> WIDTH T3,350", "< T3,350 = discarded", "< T3,350 = discarded",
                          "? DELAY? T3", "< T3,0 = answer; shown 0"};
    // The width's reply said once more, late, while the marker for the Get after the set waits.
    QTest::newRow("a reply said twice, its quantity set in between") << connected
            + QStringList{"? WIDTH? T3",
                          "< T3,200 = answer; shown 200",
                          "> WIDTH T3,350",
                          "? WIDTH? T3 = sends WIDTH? T0",
                          "< T3,200 = discarded",
                          "< T0,500 = answer; sends WIDTH? T3",
                          "< T3,350 = answer; shown 350"};
    QTest::newRow("confirmed, then a Get of another quantity whose value is the same") << connected
            + QStringList{"> WIDTH T3,350", "< T3,350 = discarded", "? DELAY? T3",
                          "< T3,350 = discarded", unanswered};
    QTest::newRow("the same reply after its quantity was set, from one that never repeats")
        << connected + QStringList{"? WIDTH? T3",    "< T3,200 = answer; shown 200",
                                   "> WIDTH T3,350", "< ERR = discarded",
                                   "? WIDTH? T3",    "< T3,200 = answer; shown 200"};
    // The second Get may have taken the first one's reply said twice: its own, when it comes, is
    // late.
    QTest::newRow("a reply sent twice, the same query asked twice") << connected
            + QStringList{"? WIDTH? T3",
                          "< T3,200 = answer; shown 200",
                          "? WIDTH? T3",
                          "< T3,200 = answer; shown 200",
                          "? AMPL? T4",
                          "< T3,200 = late",
                          "< T4,5 = answer; shown 5"};
    // Lines that name nothing settle nothing: the amplitude's own late reply and the marker's do.
    QTest::newRow("identity missed on connecting: a late line naming nothing settles nothing")
        << QStringList{"connect",
                       unanswered,
                       "? AMPL? T3",
                       unanswered,
                       "? WIDTH? T3 = sends WIDTH? T0",
                       "< ERR = discarded",
                       "< " + id + " = discarded",
                       "< T3,2.5 = late",
                       "< T0,500 = answer; sends WIDTH? T3",
                       "< T3,200 = answer; shown 200"};
    QTest::newRow("identity missed on connecting, come before anything else was asked")
        << QStringList{"connect",
                       unanswered,
                       "< " + id + " = late",
                       "? WIDTH? T3",
                       unanswered,
                       "? DELAY? T3 = sends DELAY? T0",
                       "< T3,200 = late",
                       "< T0,0 = answer; sends DELAY? T3",
                       "< T3,0 = answer; shown 0"};
    QTest::newRow("identity missed on connecting, then a line naming nothing")
        << QStringList{"connect", unanswered, "? WIDTH? T3", "< " + id + " = discarded",
                       "< T3,200 = answer; shown 200"};
    // The bridge's telnet commands in front of the identity are no UTF-8: the log writes a
    // replacement character for each of their bytes 255 and 251.
    const QString notText(2, QChar::ReplacementCharacter);
    QTest::newRow("telnet negotiation in front of the first identity")
        << QStringList{"connect",
                       QLatin1String("< \xff\xfb\x03\xff\xfb\x01") + id + R"( = answer: ")"
                           + notText + R"(\u0003)" + notText + R"(\u0001)" + id + R"(\r\n")",
                       "? WIDTH? T3", "< T3,200 = answer; shown 200"};
    QTest::newRow("identity without a comma, set lines unanswered")
        << QStringList{"connect",
                       "< DG318 = answer",
                       "> WIDTH T1,300",
                       "> WIDTH T2,300",
                       "> WIDTH T3,300",
                       "? WIDTH? T4",
                       unanswered,
                       "? DELAY? T4 = sends DELAY? T0",
                       "< T4,200 = late",
                       "< T0,0 = answer; sends DELAY? T4",
                       "< T4,0 = answer; shown 0"};
    QTest::newRow("set line confirmed in volts, then a Get of the delay") << connected
            + QStringList{"> AMPL T3,2500", "< T3,2.5 = discarded", "? DELAY? T3",
                          "< T3,0 = answer; shown 0"};
    QTest::newRow("amplitude confirmed in the millivolts it was set in, then a Get of it")
        << connected
            + QStringList{"> AMPL T6,4870", "< T6,4870 = discarded", "? AMPL? T6",
                          "< T6,4.87 = answer; shown 4.87"};
    QTest::newRow("set line confirmed with a value clamped, then a Get of another quantity")
        << connected + QStringList{"> WIDTH T4,350", "< T4,350 = discarded",
                                   "? FREQ? F1",     "< F1,1000 = answer; shown 1000",
                                   "> WIDTH T3,5",   "< T3,10 = discarded",
                                   "? AMPL? T3",     "< T3,5 = answer; shown 5"};
    QTest::newRow("identity behind a prompt")
        << QStringList{"connect", "< > " + id + R"( = answer: ")" + id + R"(\r\n")", "? WIDTH? T3",
                       "< T3,200 = answer; shown 200"};
    // A bridge's prompt in front of the instrument's: both are dropped.
    QTest::newRow("two prompts before the reply") << connected
            + QStringList{"? WIDTH? T3", R"(< $ > T3,210 = answer: "T3,210\r\n"; shown 210)"};
    // A prompt is no answer: it is dropped, and settles nothing.
    QTest::newRow("identity missed on connecting, then prompts: they settle nothing")
        << QStringList{"connect",
                       unanswered,
                       "< > ",
                       "? WIDTH? T3",
                       unanswered,
                       "? DELAY? T3 = sends DELAY? T0",
                       "< > ",
                       "< T3,200 = late",
                       "< T0,0 = answer; sends DELAY? T3",
                       "< T3,0 = answer; shown 0"};
    // An echo that comes after the answer it goes with is still an echo: the amplitude, owed,
    // keeps the delay's Get from taking its late reply.
    QTest::newRow("an echo after its answer, then a late reply: no value in another control")
        << settled
            + QStringList{"? WIDTH? T3",
                          "< T3,200 = answer; shown 200",
                          "? AMPL? T3",
                          "< WIDTH? T3 = discarded",
                          unanswered,
                          "? DELAY? T3 = sends WIDTH? T0",
                          "< T3,5 = late",
                          "< T0,500 = answer; sends DELAY? T3",
                          "< T3,0 = answer; shown 0"};
    QTest::newRow("a reply said three times")
        << settled + QStringList{"? WIDTH? T3",          "< T3,200 = answer; shown 200",
                                 "? DELAY? T3",          "< T3,200 = discarded",
                                 "< T3,200 = discarded", "< T3,0 = answer; shown 0"};
    // Accepted, a set line is answered "OK"; refused, with the value kept: how one was answered
    // says nothing of the next.
    QTest::newRow("a refused set answered late with the value kept, after one answered OK")
        << settled
            + QStringList{"> WIDTH T1,300",
                          "< OK = discarded",
                          "? WIDTH? T2",
                          "< T2,200 = answer; shown 200",
                          "> WIDTH T3,99999",
                          "? AMPL? T3 = sends WIDTH? T0",
                          "< T3,10000 = discarded",
                          "< T0,500 = answer; sends AMPL? T3",
                          "< T3,5 = answer; shown 5"};
    // The identity reads as an error word: the amplitude's late one is no reply to the width.
    QTest::newRow("an identity that reads as an error word, and an error word owed")
        << QStringList{"connect",
                       R"(< ERR,3 = answer)",
                       "? FREQ? F1",
                       "< F1,1000 = answer; shown 1000",
                       "? AMPL? T3",
                       unanswered,
                       "? WIDTH? T4",
                       "< ERR,3 = late",
                       "< T4,200 = answer; shown 200",
                       "? AMPL? T4",
                       "< T4,5 = answer; shown 5"};
    // Every source and channel has a set line not answered: no channel is free for a marker. One
    // that only set lines name serves: a line about it settles the oldest set line that may have
    // sent it, and all before it; the marker after it then names a channel nothing names.
    QStringList everySet = {"> FREQ F1,1000", "> FREQ F2,1000"};
    for (int channel = 0; channel < 9; ++channel)
        everySet.append(QStringLiteral("> WIDTH T%1,10").arg(channel));
    QTest::newRow("a set line on every source and channel, then a Get: markers settle them")
        << connected + everySet
            + QStringList{"? WIDTH? T3 = sends WIDTH? T0", "< T0,10 = discarded",
                          R"(~ = answer: ""; sends FREQ? F1)",
                          "< F1,1000 = answer; sends WIDTH? T3", "< T3,10 = answer; shown 10"};
    // More set lines than are kept, none answered: the channel of the one let go stays named.
    QStringList manySets = {"> WIDTH T3,350"};
    for (int i = 0; i < 64; ++i)
        manySets.append(QStringLiteral("> WIDTH T4,%1").arg(10 + i));
    QTest::newRow("set lines piled up: the channel of one let go still sends a marker") << connected
            + manySets
            + QStringList{"? AMPL? T3 = sends AMPL? T0", "< T3,350 = discarded",
                          "< T0,5 = answer; sends AMPL? T3", "< T3,5 = answer; shown 5"};
    // The marker goes unanswered, and brings nothing: the width is held back. The next Get sends
    // a marker about another channel; the replies owed come before its own, which settles them.
    QTest::newRow("a marker unanswered: held back, and the next Get's marker settles it")
        << connected
            + QStringList{
                "? WIDTH? T3",
                unanswered,
                "? DELAY? T3 = sends DELAY? T0",
                R"(~ = answer: ""; not sent, a reply to an earlier query may still come: "DELAY? T3\r\n")",
                "? DELAY? T3 = sends DELAY? T1",
                "< T3,200 = late",
                "< T0,0 = late",
                "< T1,0 = answer; sends DELAY? T3",
                "< T3,0 = answer; shown 0"};
}

// Each line the instrument writes back, taken in order: shown in the control of the Get it
// answers, or logged as discarded, or as late where a reply still owed may be it; a reply is
// taken only where nothing unsettled could have sent it. Before a read-back of a channel that
// something unsettled names goes out, a marker does.
void tst_LinkCore::linesInOrder()
{
    QFETCH(QStringList, steps);

    ScriptedLink link(steps);
    const QStringList seen = link.play();
    if (!link.failure.isEmpty())
        qInfo().noquote() << "seen:\n " << seen.join(QLatin1String("\n  "));
    QVERIFY2(link.failure.isEmpty(), qPrintable(link.failure));
    QStringList expected;
    for (const QString &step : steps)
        expected += sightsOf(step);
    if (seen != expected)
        qInfo().noquote() << "seen:\n " << seen.join(QLatin1String("\n  "));
    QCOMPARE(seen, expected);
}

QTEST_GUILESS_MAIN(tst_LinkCore)
#include "tst_linkcore.moc"

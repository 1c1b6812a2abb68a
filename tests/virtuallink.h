// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef VIRTUALLINK_H
#define VIRTUALLINK_H

// The link's core driven on virtual time against the instrument model, and what the window
// would show, judged by the model's tags.

#include "instrumentmodel.h"
#include "linkcore.h"

#include <QStringList>

#include <optional>

namespace VirtualTime {

struct Click
{
    enum Kind { Get, Set, Update, FullUpdate } kind;
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
    qint64 longestPress = 0;
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

// The query that reads a control: "WIDTH? T3".
inline QByteArray queryOf(const Control &control)
{
    static const char *const words[] = {"FREQ? F", "TRIG? T", "WIDTH? T", "AMPL? T", "DELAY? T"};
    return words[int(control.quantity)] + QByteArray::number(control.channel);
}

// The driver, on virtual time: does what the core asks at once, and jumps the clock to the
// next time anything can happen.
class VirtualLink
{
public:
    VirtualLink(InstrumentModel &model, Failures &failures, const QString &name)
        : model(model)
        , failures(failures)
        , name(name)
    {
    }

    qint64 now = 0;
    qint64 pressLimit = pressLimitMs;
    QMap<QByteArray, QByteArray> shown; // query and target -> value text shown
    bool keepLog = false;
    // LINK_TRACE=1: every log line, every byte that arrives and every value shown, with its time.
    const bool trace = qEnvironmentVariableIsSet("LINK_TRACE");
    QStringList log; // query and target -> value text shown

    qint64 press(LinkEvent event)
    {
        const qint64 start = now;
        run(event);
        while (!queued.isEmpty()) // the event loop's turn
            run(queued.takeFirst());
        const qint64 took = now - start;
        failures.longestPress = qMax(failures.longestPress, took);
        if (took > pressLimit)
            failures.note(failures.tooLong,
                          QStringLiteral("%1: a press held the window %2 ms").arg(name).arg(took));
        return took;
    }

private:
    void run(LinkEvent event)
    {
        std::optional<LinkEvent> next = event;
        while (next) {
            next->at = now;
            if (trace && next->kind == LinkEvent::BytesArrived && !next->bytes.isEmpty())
                qDebug(
                    "%6lld <- %s", now,
                    QByteArray(next->bytes).replace('\r', "\\r").replace('\n', "\\n").constData());
            const QList<LinkAction> actions = core.handle(*next);
            next.reset();
            for (const LinkAction &action : actions) {
                if (trace && action.kind == LinkAction::Log)
                    qDebug("%6lld %s", now, qPrintable(action.text));
                if (trace && action.kind == LinkAction::Show)
                    qDebug("%6lld show %s", now, action.bytes.trimmed().constData());
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
                case LinkAction::Log:
                    if (keepLog)
                        log.append(action.text);
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
        const QByteArray key = queryOf(action.control);
        const InstrumentModel::Output *output = model.outputAt(action.connection, action.offset);
        const bool right = output && output->kind == InstrumentModel::Reply
            && output->query + ' ' + output->target == key
            && output->line > model.lastSet.value(key, -1);
        if (!right)
            failures.note(failures.wrongControl,
                          QStringLiteral("%1: %2 shows %3, from %4")
                              .arg(name, QLatin1String(key),
                                   QString::fromLatin1(action.bytes.trimmed()),
                                   output ? QString::fromLatin1(output->bytes.trimmed())
                                           + " of line " + QString::number(output->line)
                                          : QStringLiteral("nothing the instrument sent")));
        const QByteArray reply = action.bytes.trimmed();
        shown[key] = reply.mid(reply.indexOf(',') + 1);
    }

    LinkCore core;
    InstrumentModel &model;
    Failures &failures;
    QString name;
    QList<LinkEvent> queued;
};

inline LinkEvent pressed(LinkEvent::Kind kind)
{
    LinkEvent event;
    event.kind = kind;
    return event;
}

inline LinkEvent sweepOf(const QList<std::pair<QString, Control>> &readBacks)
{
    LinkEvent event = pressed(LinkEvent::UpdatePressed);
    for (const auto &[line, control] : readBacks) {
        event.lines.append(line);
        event.controls.append(control);
    }
    return event;
}

inline LinkEvent scopeSweep()
{
    QList<std::pair<QString, Control>> readBacks;
    for (const Scoped &scoped : scope)
        readBacks.append({QString::fromLatin1(scoped.query), {scoped.quantity, scoped.channel}});
    return sweepOf(readBacks);
}

// The window's Update data: both sources, then every channel.
inline LinkEvent fullSweep()
{
    QList<std::pair<QString, Control>> readBacks = {{"FREQ? F1", {Quantity::Frequency, 1}},
                                                    {"FREQ? F2", {Quantity::Frequency, 2}}};
    for (int channel = 0; channel < 9; ++channel) {
        readBacks.append(
            {QStringLiteral("AMPL? T%1").arg(channel), {Quantity::Amplitude, channel}});
        readBacks.append({QStringLiteral("WIDTH? T%1").arg(channel), {Quantity::Width, channel}});
        readBacks.append({QStringLiteral("DELAY? T%1").arg(channel), {Quantity::Delay, channel}});
        readBacks.append({QStringLiteral("TRIG? T%1").arg(channel), {Quantity::Trigger, channel}});
    }
    return sweepOf(readBacks);
}

inline LinkEvent clickEvent(const Click &click, int serial)
{
    const Scoped &scoped = scope[click.control];
    if (click.kind == Click::Update)
        return scopeSweep();
    if (click.kind == Click::FullUpdate)
        return fullSweep();
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

// One case: connect, the clicks, with the outputs they make late as `lateness` says, then the
// instrument answers at once and Update data is pressed `catchUp` times; every press must give
// the window back within `pressLimit`.
inline void runCase(const Habits &habits, const QList<Click> &clicks,
                    const QMap<int, qint64> &lateness, Failures &failures, const QString &name,
                    int catchUp = 2, qint64 pressLimit = pressLimitMs)
{
    InstrumentModel model(habits);
    VirtualLink link(model, failures, name);
    link.press(pressed(LinkEvent::ConnectPressed));
    for (auto it = lateness.begin(); it != lateness.end(); ++it)
        model.lateness.insert(it.key() + model.made(), it.value());
    link.pressLimit = pressLimit;
    for (int i = 0; i < clicks.size(); ++i)
        link.press(clickEvent(clicks[i], i));
    // Everything that will ever come has come.
    if (model.lastDue() != InstrumentModel::never)
        link.now = qMax(link.now, model.lastDue());
    model.prompt = true;
    for (int i = 0; i < catchUp; ++i)
        link.press(scopeSweep());
    for (const Scoped &scoped : scope) {
        if (catchUp == 0)
            break;
        const QByteArray kind = QByteArray(scoped.query).split(' ').first();
        if (habits.mute.contains(kind) || kind == habits.errorKind)
            continue;
        const QByteArray held = model.valueOf(scoped.query);
        const QByteArray seen = link.shown.value(scoped.query);
        if (seen.isEmpty() || seen.toDouble() != held.toDouble())
            failures.note(
                failures.notCaughtUp,
                QStringLiteral("%1: after two Update data, %2 shows \"%3\", the instrument "
                               "holds %4")
                    .arg(name, QLatin1String(scoped.query), QString::fromLatin1(seen),
                         QString::fromLatin1(held)));
    }
}

} // namespace VirtualTime

#endif // VIRTUALLINK_H

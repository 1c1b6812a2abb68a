// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef WINDOWDRIVER_H
#define WINDOWDRIVER_H

#include "instrument.h"
#include "simulator.h"
#include "widget.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QRandomGenerator>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpSocket>

#ifdef Q_OS_WIN
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
// After windows.h, which it needs.
#  include <psapi.h>
#endif

// Drives the real window as a user would: widgets found by object name,
// buttons clicked, what the controls show read back.
namespace WindowDriver {

// "panel/child" paths, e.g. "wChannel3/sbWidth".
template<typename T = QWidget>
T *find(QObject &parent, const QString &path)
{
    QObject *object = &parent;
    for (const QString &name : path.split(QLatin1Char('/')))
        object = object ? object->findChild<QObject *>(name) : nullptr;
    T *found = qobject_cast<T *>(object);
    if (!found)
        qFatal("no %s", qPrintable(path));
    return found;
}

inline void pressConnect(Widget &w, const QString &address)
{
    find<QLineEdit>(w, QStringLiteral("leTcpIpAdress"))->setText(address);
    find<QPushButton>(w, QStringLiteral("pbConnect"))->click();
}

// Which of address, Connect, Update data, Frequency and Channels can be used.
inline QString controlStates(Widget &w)
{
    QString state;
    for (const char *name :
         {"leTcpIpAdress", "pbConnect", "pbUpdateData", "gbFrequency", "gbChannels"})
        state += find(w, QLatin1String(name))->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    return state;
}
inline const QString connected = QStringLiteral("00111");
inline const QString notConnected = QStringLiteral("11000");

inline QString shownBy(QWidget *control)
{
    if (auto *spin = qobject_cast<QAbstractSpinBox *>(control))
        return spin->text();
    if (auto *combo = qobject_cast<QComboBox *>(control))
        return combo->currentText();
    return qobject_cast<QLineEdit *>(control)->text();
}

// Puts a value into a control as a user would: an item index, a number or text.
inline void enter(QWidget *control, const QVariant &value)
{
    if (auto *combo = qobject_cast<QComboBox *>(control))
        combo->setCurrentIndex(value.toInt());
    else if (auto *spin = qobject_cast<QSpinBox *>(control))
        spin->setValue(value.toInt());
    else if (auto *doubleSpin = qobject_cast<QDoubleSpinBox *>(control))
        doubleSpin->setValue(value.toDouble());
    else
        qobject_cast<QLineEdit *>(control)->setText(value.toString());
}

// The value controls of the window, sources first, then T0 to T8.
inline QStringList controlPaths()
{
    QStringList paths = {QStringLiteral("wFrequency1/sbFrequency"),
                         QStringLiteral("wFrequency2/sbFrequency")};
    for (int n = 0; n < 9; ++n) {
        for (const char *name : {"cbTrigger", "sbWidth", "dsbAmplitude", "leDelay"})
            paths << QStringLiteral("wChannel%1/").arg(n) + QLatin1String(name);
    }
    return paths;
}

// A value the control at `path` can hold, as it would be typed in.
inline QString randomValue(const QString &path, QRandomGenerator &random)
{
    if (path.endsWith(QLatin1String("cbTrigger")))
        return QString::number(random.bounded(3));
    if (path.endsWith(QLatin1String("sbFrequency")))
        return QString::number(random.bounded(1, 1000001));
    if (path.endsWith(QLatin1String("sbWidth")))
        return QString::number(random.bounded(10, 1000001));
    if (path.endsWith(QLatin1String("dsbAmplitude")))
        return QString::number(random.bounded(200, 501) / 100.0, 'f', 2);
    return QString::number(random.bounded(-1000000, 1000000) / 4.0, 'g',
                           QLocale::FloatingPointShortest);
}

// The Set or Get button beside the control at `path`.
inline QString buttonFor(const QString &path, bool set)
{
    static const QHash<QString, QString> rows = {
        {QStringLiteral("sbFrequency"), QString()},
        {QStringLiteral("cbTrigger"), QStringLiteral("Trigger")},
        {QStringLiteral("sbWidth"), QStringLiteral("Width")},
        {QStringLiteral("dsbAmplitude"), QStringLiteral("Amplitude")},
        {QStringLiteral("leDelay"), QStringLiteral("Delay")}};
    const QString panel = path.section(QLatin1Char('/'), 0, 0);
    return panel + (set ? QStringLiteral("/pbSet") : QStringLiteral("/pbGet"))
        + rows.value(path.section(QLatin1Char('/'), 1));
}

// What every value control shows, in the order of controlPaths().
inline QStringList shownValues(QObject &w)
{
    QStringList shown;
    for (const QString &path : controlPaths())
        shown << shownBy(find(w, path));
    return shown;
}

// What the log shows for a successful Connect to the simulator.
inline QStringList identityLog()
{
    const QString identity = QString::fromLatin1(Instrument::identity);
    return {QStringLiteral("Connected"), QStringLiteral(R"(query: "*IDN?\r\n")"),
            QStringLiteral("answer: \"%1\\r\\n\"").arg(identity),
            QStringLiteral("\"%1\\r\\n\"").arg(identity)};
}

inline SimulatorOptions instrumentAt(const char *address)
{
    SimulatorOptions options;
    options.address = QHostAddress(QLatin1String(address));
    return options;
}

inline int socketsAlive(Widget &w)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return int(w.findChildren<QTcpSocket *>().size());
}

// The resident memory of this process in KiB, now or at its peak; -1 where the system tells
// neither. Linux counts it in /proc/self/status, Windows as the working set.
enum class Resident { Now, Peak };
inline qint64 residentKiB(Resident which)
{
#ifdef Q_OS_WIN
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return -1;
    return qint64(which == Resident::Now ? counters.WorkingSetSize : counters.PeakWorkingSetSize)
        / 1024;
#else
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray field = which == Resident::Now ? "VmRSS:" : "VmHWM:";
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
#endif
}

} // namespace WindowDriver

#endif // WINDOWDRIVER_H

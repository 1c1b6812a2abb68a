// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "channelwidget.h"
#include "frequencywidget.h"
#include "logcapture.h"
#include "simulatorthread.h"
#include "widget.h"
#include "windowdriver.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>

#include <cmath>
#include <memory>
#include <optional>

using namespace WindowDriver;

// Thousands of random, almost valid replies (random pieces, commas, line
// ends, numbers at and beyond the 32-bit limits, keywords in every case)
// through the real window: only the control whose query a reply answers may
// change, and only when the reply is usable.
class tst_ReadBackFuzz : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void randomReplies();

private:
    std::unique_ptr<LogCapture> log;
};

namespace {

enum class Kind { Frequency, Trigger, Width, Amplitude, Delay };

struct ReadBack
{
    QString button;
    QString control;
    Kind kind;
};

QList<ReadBack> readBacks()
{
    QList<ReadBack> list = {{"wFrequency1/pbGet", "wFrequency1/sbFrequency", Kind::Frequency},
                            {"wFrequency2/pbGet", "wFrequency2/sbFrequency", Kind::Frequency}};
    for (int n = 0; n < 9; ++n) {
        const QString panel = QStringLiteral("wChannel%1/").arg(n);
        list.append({panel + "pbGetTrigger", panel + "cbTrigger", Kind::Trigger});
        list.append({panel + "pbGetWidth", panel + "sbWidth", Kind::Width});
        list.append({panel + "pbGetAmplitude", panel + "dsbAmplitude", Kind::Amplitude});
        list.append({panel + "pbGetDelay", panel + "leDelay", Kind::Delay});
    }
    return list;
}

// What the control shows after `reply`, or nothing when the reply is unusable:
// the reply is its first line; it must hold exactly two non-empty comma pieces,
// and the second must be a 32-bit integer, a finite number or hold a keyword.
// Panels of their own turn a value into what a control shows.
std::optional<QString> shownAfter(const QByteArray &reply, Kind kind)
{
    const QByteArray line = reply.left(reply.indexOf('\n') + 1);
    const QStringList pieces = QString::fromUtf8(line).split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (pieces.size() != 2)
        return std::nullopt;
    const QString value = pieces.at(1).trimmed();
    bool ok = false;
    ChannelWidget channel;
    FrequencyWidget frequency;
    switch (kind) {
    case Kind::Trigger: {
        std::optional<QString> last;
        for (const char *keyword : {"OFF", "IN1", "IN2"}) {
            if (pieces.at(1).contains(QLatin1String(keyword)))
                last = QLatin1String(keyword);
        }
        return last;
    }
    case Kind::Frequency:
    case Kind::Width: {
        const int number = value.toInt(&ok, 10);
        if (!ok)
            return std::nullopt;
        if (kind == Kind::Width) {
            channel.setWidth(number);
            return shownBy(find(channel, "sbWidth"));
        }
        frequency.setFrequency(number);
        return shownBy(find(frequency, "sbFrequency"));
    }
    case Kind::Amplitude:
    case Kind::Delay: {
        const double number = value.toDouble(&ok);
        if (!ok || !std::isfinite(number))
            return std::nullopt;
        if (kind == Kind::Amplitude) {
            channel.setAmplitude(number);
            return shownBy(find(channel, "dsbAmplitude"));
        }
        channel.setDelay(number);
        return shownBy(find(channel, "leDelay"));
    }
    }
    return std::nullopt;
}

} // namespace

void tst_ReadBackFuzz::initTestCase()
{
    log = std::make_unique<LogCapture>();
}

void tst_ReadBackFuzz::randomReplies()
{
    SimulatorOptions options = instrumentAt("127.0.0.80");
    options.fuzzSeed = 318;
    SimulatorThread instrument(options, true);
    Widget w;
    pressConnect(w, "127.0.0.80");
    QCOMPARE(controlStates(w), connected);

    const QList<ReadBack> all = readBacks();
    const QStringList paths = controlPaths();
    QList<QWidget *> controls;
    for (const QString &path : paths)
        controls << find(w, path);
    auto shown = [&controls] {
        QStringList values;
        for (QWidget *control : controls)
            values << shownBy(control);
        return values;
    };

    QRandomGenerator pick(2025);
    int usable = 0;
    constexpr int replies = 10000;
    for (int i = 0; i < replies; ++i) {
        const ReadBack &readBack = all.at(pick.bounded(int(all.size())));
        QStringList expected = shown();
        instrument.clearLines();
        find<QPushButton>(w, readBack.button)->click();

        const QList<QByteArray> sent = instrument.replies();
        QCOMPARE(sent.size(), 1);
        if (const std::optional<QString> value = shownAfter(sent.first(), readBack.kind)) {
            expected[paths.indexOf(readBack.control)] = *value;
            ++usable;
        }
        const QStringList now = shown();
        if (now != expected) {
            qWarning() << "reply" << i << sent.first() << "to" << readBack.button;
            QCOMPARE(now, expected);
        }
    }
    // Both kinds of reply were well represented.
    QVERIFY2(usable > replies / 5 && usable < replies * 4 / 5, qPrintable(QString::number(usable)));

    for (const QString &line : LogCapture::lines())
        QVERIFY2(!line.contains(QLatin1Char('\n')) && !line.contains(QLatin1Char('\r')),
                 qPrintable(line));
}

QTEST_MAIN(tst_ReadBackFuzz)
#include "tst_readbackfuzz.moc"

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
#include <QRegularExpression>
#include <QTest>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>

using namespace WindowDriver;

// Thousands of random, almost valid replies (random pieces, commas, line
// ends, numbers at and beyond the 32-bit limits, keywords in every case)
// through the real window: only the control whose query a reply answers may
// change, and only when the reply is usable and names its source or channel. Now and then a reply
// names another source or channel: it must change nothing.
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
    QString target; // the source or channel it asks about
};

QList<ReadBack> readBacks()
{
    QList<ReadBack> list = {
        {"wFrequency1/pbGet", "wFrequency1/sbFrequency", Kind::Frequency, "F1"},
        {"wFrequency2/pbGet", "wFrequency2/sbFrequency", Kind::Frequency, "F2"}};
    for (int n = 0; n < 9; ++n) {
        const QString panel = QStringLiteral("wChannel%1/").arg(n);
        const QString target = QStringLiteral("T%1").arg(n);
        list.append({panel + "pbGetTrigger", panel + "cbTrigger", Kind::Trigger, target});
        list.append({panel + "pbGetWidth", panel + "sbWidth", Kind::Width, target});
        list.append({panel + "pbGetAmplitude", panel + "dsbAmplitude", Kind::Amplitude, target});
        list.append({panel + "pbGetDelay", panel + "leDelay", Kind::Delay, target});
    }
    return list;
}

// The source or channel (F or T and a number, in any case) that a line's first non-empty piece
// names, or nothing.
std::optional<QString> namedBy(const QString &line)
{
    static const QRegularExpression name(QStringLiteral("^\\s*([FT])0*([0-9]+)\\s*$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match =
        name.match(line.split(QLatin1Char(','), Qt::SkipEmptyParts).value(0));
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1).toUpper() + match.captured(2);
}

// Whether a line names a source or channel other than `target`: a reply to another query.
bool namesAnother(const QString &line, const QString &target)
{
    const std::optional<QString> named = namedBy(line);
    return named && *named != target;
}

// The reply to a query about `target`: the first complete line (ended by LF, CR, or CR LF or
// LF CR as one) that is not blank and does not name another source or channel; nothing if
// there is none.
std::optional<QString> replyLine(const QByteArray &sent, const QString &target)
{
    static const QRegularExpression line(QStringLiteral("[^\\r\\n]*(\\r\\n|\\n\\r|\\r|\\n)"));
    for (const QRegularExpressionMatch &match : line.globalMatch(QString::fromUtf8(sent))) {
        if (!match.captured().trimmed().isEmpty() && !namesAnother(match.captured(), target))
            return match.captured();
    }
    return std::nullopt;
}

// What the control shows after `line`, or nothing when the reply is unusable:
// it must hold exactly two non-empty comma pieces, and the second must be a
// 32-bit integer, a finite number or hold a keyword. Panels of their own turn
// a value into what a control shows.
std::optional<QString> shownAfter(const QString &line, Kind kind)
{
    const QStringList pieces = line.split(QLatin1Char(','), Qt::SkipEmptyParts);
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
        // Any decimal form of a whole number within 32 bits; no fuzz value is a fraction that
        // a double would round to a whole one.
        const double number = value.toDouble(&ok);
        if (!ok || number != std::trunc(number) || number < std::numeric_limits<int>::min()
            || number > std::numeric_limits<int>::max())
            return std::nullopt;
        if (kind == Kind::Width) {
            channel.setWidth(long(number));
            return shownBy(find(channel, "sbWidth"));
        }
        frequency.setFrequency(long(number));
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
    int strays = 0; // replies that name only other sources and channels
    constexpr int replies = 10000;
    for (int i = 0; i < replies; ++i) {
        const ReadBack &readBack = all.at(pick.bounded(int(all.size())));
        QStringList expected = shown();
        instrument.clearLines();
        find<QPushButton>(w, readBack.button)->click();

        const QList<QByteArray> sent = instrument.replies();
        QCOMPARE(sent.size(), 1);
        const std::optional<QString> line = replyLine(sent.first(), readBack.target);
        // A line that names nothing is taken for the reply, but shown nowhere: it cannot be
        // told from an error word with its code.
        if (!line)
            ++strays;
        else if (const std::optional<QString> value = shownAfter(*line, readBack.kind);
                 value && namedBy(*line) == readBack.target) {
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
    // A few for another source or channel, each waited out to the end.
    QVERIFY2(strays >= 3, qPrintable(QString::number(strays)));

    for (const QString &line : LogCapture::lines())
        QVERIFY2(!line.contains(QLatin1Char('\n')) && !line.contains(QLatin1Char('\r')),
                 qPrintable(line));
}

QTEST_MAIN(tst_ReadBackFuzz)
#include "tst_readbackfuzz.moc"

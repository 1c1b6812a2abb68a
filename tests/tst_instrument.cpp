// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "instrument.h"

#include <QtTest>

class tst_Instrument : public QObject
{
    Q_OBJECT

private slots:
    void defaults_data();
    void defaults();
    void setThenQuery_data();
    void setThenQuery();
    void notUnderstood_data();
    void notUnderstood();
    void held_data();
    void held();
    void commandOf_data();
    void commandOf();
};

void tst_Instrument::defaults_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("identity") << QByteArray("*IDN?")
                              << QByteArray("Tarvo,Model 318 Simulator,SN318001,1.0\r\n");
    QTest::newRow("frequency F1") << QByteArray("FREQ? F1") << QByteArray("F1,1000\r\n");
    QTest::newRow("frequency F2") << QByteArray("FREQ? F2") << QByteArray("F2,1000\r\n");
    for (int channel = 0; channel < Instrument::channelCount; ++channel) {
        const QByteArray name = 'T' + QByteArray::number(channel);
        QTest::addRow("trigger %s", name.constData()) << "TRIG? " + name << name + ",OFF\r\n";
        QTest::addRow("width %s", name.constData())
            << "WIDTH? " + name << name + (channel == 0 ? ",500\r\n" : ",200\r\n");
        QTest::addRow("amplitude %s", name.constData()) << "AMPL? " + name << name + ",5\r\n";
        QTest::addRow("delay %s", name.constData()) << "DELAY? " + name << name + ",0\r\n";
    }
}

void tst_Instrument::defaults()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, expected);

    Instrument instrument;
    bool understood = false;
    QCOMPARE(instrument.reply(query, &understood), expected);
    QVERIFY(understood);
}

void tst_Instrument::setThenQuery_data()
{
    QTest::addColumn<QByteArrayList>("sets");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("expected");

    auto row = [](const char *name, const QByteArrayList &sets, const char *query,
                  const char *expected) {
        QTest::newRow(name) << sets << QByteArray(query) << QByteArray(expected);
    };

    row("frequency F1", {"FREQ F1,2500"}, "FREQ? F1", "F1,2500\r\n");
    row("frequency F2", {"FREQ F2,1000000"}, "FREQ? F2", "F2,1000000\r\n");
    row("frequency F2 leaves F1 alone", {"FREQ F2,7"}, "FREQ? F1", "F1,1000\r\n");
    row("frequency lowest", {"FREQ F1,1"}, "FREQ? F1", "F1,1\r\n");
    row("frequency zero clamps to 1", {"FREQ F1,0"}, "FREQ? F1", "F1,1\r\n");
    row("frequency negative clamps to 1", {"FREQ F2,-7"}, "FREQ? F2", "F2,1\r\n");
    row("frequency above range clamps", {"FREQ F1,1000001"}, "FREQ? F1", "F1,1000000\r\n");
    row("frequency beyond 32 bits clamps", {"FREQ F1,99999999999"}, "FREQ? F1", "F1,1000000\r\n");
    row("frequency below -32 bits clamps", {"FREQ F1,-99999999999"}, "FREQ? F1", "F1,1\r\n");
    row("frequency with plus sign", {"FREQ F1,+42"}, "FREQ? F1", "F1,42\r\n");

    row("trigger IN1", {"TRIG T3,IN1"}, "TRIG? T3", "T3,IN1\r\n");
    row("trigger IN2 on T8", {"TRIG T8,IN2"}, "TRIG? T8", "T8,IN2\r\n");
    row("trigger T0", {"TRIG T0,IN2"}, "TRIG? T0", "T0,IN2\r\n");
    row("trigger back to OFF", {"TRIG T5,IN2", "TRIG T5,OFF"}, "TRIG? T5", "T5,OFF\r\n");
    row("trigger leaves other channels alone", {"TRIG T3,IN1"}, "TRIG? T4", "T4,OFF\r\n");

    row("width", {"WIDTH T3,300"}, "WIDTH? T3", "T3,300\r\n");
    row("width T0", {"WIDTH T0,10"}, "WIDTH? T0", "T0,10\r\n");
    row("width below range clamps", {"WIDTH T4,9"}, "WIDTH? T4", "T4,10\r\n");
    row("width highest", {"WIDTH T4,1000000"}, "WIDTH? T4", "T4,1000000\r\n");
    row("width above range clamps", {"WIDTH T4,1000001"}, "WIDTH? T4", "T4,1000000\r\n");
    row("width beyond 32 bits clamps", {"WIDTH T4,4294967296"}, "WIDTH? T4", "T4,1000000\r\n");
    row("width leaves other channels alone", {"WIDTH T3,300"}, "WIDTH? T2", "T2,200\r\n");

    row("amplitude 2.5 V", {"AMPL T1,2500"}, "AMPL? T1", "T1,2.5\r\n");
    row("amplitude 3.3 V", {"AMPL T4,3300"}, "AMPL? T4", "T4,3.3\r\n");
    row("amplitude 2.01 V", {"AMPL T2,2010"}, "AMPL? T2", "T2,2.01\r\n");
    row("amplitude 4.999 V", {"AMPL T2,4999"}, "AMPL? T2", "T2,4.999\r\n");
    row("amplitude lowest", {"AMPL T0,2000"}, "AMPL? T0", "T0,2\r\n");
    row("amplitude below range clamps", {"AMPL T6,1999"}, "AMPL? T6", "T6,2\r\n");
    row("amplitude zero clamps", {"AMPL T6,0"}, "AMPL? T6", "T6,2\r\n");
    row("amplitude above range clamps", {"AMPL T7,5001"}, "AMPL? T7", "T7,5\r\n");
    row("amplitude back to 5 V", {"AMPL T7,2500", "AMPL T7,5000"}, "AMPL? T7", "T7,5\r\n");

    row("delay with fraction", {"DELAY T2,1500.5"}, "DELAY? T2", "T2,1500.5\r\n");
    row("delay of a million", {"DELAY T2,1000000"}, "DELAY? T2", "T2,1e+06\r\n");
    row("delay 1234567", {"DELAY T2,1234567"}, "DELAY? T2", "T2,1234567\r\n");
    row("delay with exponent", {"DELAY T0,1e+06"}, "DELAY? T0", "T0,1e+06\r\n");
    row("delay with capital exponent", {"DELAY T1,1E3"}, "DELAY? T1", "T1,1000\r\n");
    row("delay negative", {"DELAY T8,-250"}, "DELAY? T8", "T8,-250\r\n");
    row("delay small", {"DELAY T8,0.25"}, "DELAY? T8", "T8,0.25\r\n");
    row("delay large has no range", {"DELAY T8,1e+300"}, "DELAY? T8", "T8,1e+300\r\n");
    row("delay back to zero", {"DELAY T3,5", "DELAY T3,0"}, "DELAY? T3", "T3,0\r\n");

    row("lower case set", {"freq f1,2000"}, "FREQ? F1", "F1,2000\r\n");
    row("lower case query", {"FREQ F1,2000"}, "freq? f1", "F1,2000\r\n");
    row("lower case trigger keyword", {"trig t2,in1"}, "TRIG? T2", "T2,IN1\r\n");
    row("mixed case", {"Width t6,123"}, "wIDTH? T6", "T6,123\r\n");
    row("lower case identity", {}, "*idn?", "Tarvo,Model 318 Simulator,SN318001,1.0\r\n");
    row("space after comma", {"FREQ F1, 2000"}, "FREQ? F1", "F1,2000\r\n");
    row("surrounding spaces", {"  AMPL T3,3000  "}, " AMPL? T3 ", "T3,3\r\n");
}

void tst_Instrument::setThenQuery()
{
    QFETCH(QByteArrayList, sets);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, expected);

    Instrument instrument;
    for (const QByteArray &set : sets) {
        bool understood = false;
        QCOMPARE(instrument.reply(set, &understood), QByteArray());
        QVERIFY2(understood, set.constData());
    }
    bool understood = false;
    QCOMPARE(instrument.reply(query, &understood), expected);
    QVERIFY(understood);
}

void tst_Instrument::notUnderstood_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("unchanged");

    auto row = [](const char *name, const char *line, const char *query, const char *unchanged) {
        QTest::newRow(name) << QByteArray(line) << QByteArray(query) << QByteArray(unchanged);
    };

    row("empty line", "", "FREQ? F1", "F1,1000\r\n");
    row("only spaces", "   ", "FREQ? F1", "F1,1000\r\n");
    row("unknown command", "FOO T1,5", "FREQ? F1", "F1,1000\r\n");
    row("unknown query", "FOO? T1", "FREQ? F1", "F1,1000\r\n");
    row("identity with argument", "*IDN? T1", "FREQ? F1", "F1,1000\r\n");
    row("identity as set", "*IDN", "FREQ? F1", "F1,1000\r\n");
    row("query without space", "FREQ?F1", "FREQ? F1", "F1,1000\r\n");
    row("query without target", "AMPL?", "AMPL? T1", "T1,5\r\n");
    row("query with two arguments", "AMPL? T1,2", "AMPL? T1", "T1,5\r\n");
    row("source F0", "FREQ? F0", "FREQ? F1", "F1,1000\r\n");
    row("source F3", "FREQ? F3", "FREQ? F1", "F1,1000\r\n");
    row("channel as source", "FREQ? T1", "FREQ? F1", "F1,1000\r\n");
    row("source as channel", "TRIG? F1", "TRIG? T1", "T1,OFF\r\n");
    row("channel T9", "TRIG? T9", "TRIG? T8", "T8,OFF\r\n");
    row("channel T10", "WIDTH? T10", "WIDTH? T1", "T1,200\r\n");
    row("channel T01", "WIDTH? T01", "WIDTH? T1", "T1,200\r\n");
    row("channel without number", "DELAY? T", "DELAY? T0", "T0,0\r\n");
    row("set F3", "FREQ F3,5", "FREQ? F2", "F2,1000\r\n");
    row("set T9", "WIDTH T9,100", "WIDTH? T8", "T8,200\r\n");
    row("set without value", "FREQ F1", "FREQ? F1", "F1,1000\r\n");
    row("set with empty value", "FREQ F1,", "FREQ? F1", "F1,1000\r\n");
    row("set with three arguments", "FREQ F1,2,3", "FREQ? F1", "F1,1000\r\n");
    row("frequency with trailing text", "FREQ F1,12abc", "FREQ? F1", "F1,1000\r\n");
    row("frequency with fraction", "FREQ F1,1.5", "FREQ? F1", "F1,1000\r\n");
    row("frequency with exponent", "FREQ F1,1e3", "FREQ? F1", "F1,1000\r\n");
    row("frequency beyond 64 bits", "FREQ F1,99999999999999999999", "FREQ? F1", "F1,1000\r\n");
    row("frequency hexadecimal", "FREQ F1,0x10", "FREQ? F1", "F1,1000\r\n");
    row("width not a number", "WIDTH T1,abc", "WIDTH? T1", "T1,200\r\n");
    row("amplitude in volts", "AMPL T1,2.5", "AMPL? T1", "T1,5\r\n");
    row("trigger IN3", "TRIG T1,IN3", "TRIG? T1", "T1,OFF\r\n");
    row("trigger ON", "TRIG T1,ON", "TRIG? T1", "T1,OFF\r\n");
    row("trigger empty", "TRIG T1,", "TRIG? T1", "T1,OFF\r\n");
    row("delay not a number", "DELAY T1,abc", "DELAY? T1", "T1,0\r\n");
    row("delay with decimal comma", "DELAY T1,1,5", "DELAY? T1", "T1,0\r\n");
    row("delay infinite", "DELAY T1,inf", "DELAY? T1", "T1,0\r\n");
    row("delay not a number nan", "DELAY T1,nan", "DELAY? T1", "T1,0\r\n");
    row("delay overflowing", "DELAY T1,1e999", "DELAY? T1", "T1,0\r\n");
    row("delay with unit", "DELAY T1,5ps", "DELAY? T1", "T1,0\r\n");
    row("command with tab", "FREQ?\tF1", "FREQ? F1", "F1,1000\r\n");
}

void tst_Instrument::notUnderstood()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, unchanged);

    Instrument instrument;
    bool understood = true;
    QCOMPARE(instrument.reply(line, &understood), QByteArray());
    QVERIFY(!understood);
    QCOMPARE(instrument.reply(query), unchanged);
}

void tst_Instrument::held_data()
{
    QTest::addColumn<QByteArray>("set");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("expected"); // what the line would set, as held after `set`

    QTest::newRow("width") << QByteArray("WIDTH T3,350") << QByteArray("WIDTH T3,5")
                           << QByteArray("T3,350");
    QTest::newRow("amplitude in millivolts")
        << QByteArray("AMPL T3,2510") << QByteArray("AMPL T3,2000") << QByteArray("T3,2510");
    QTest::newRow("delay with fraction")
        << QByteArray("DELAY T2,1500.5") << QByteArray("DELAY T2,0") << QByteArray("T2,1500.5");
    QTest::newRow("lower case trigger")
        << QByteArray("TRIG T1,IN2") << QByteArray("trig t1,in1") << QByteArray("T1,IN2");
    QTest::newRow("frequency") << QByteArray("FREQ F2,6") << QByteArray("FREQ F2,5")
                               << QByteArray("F2,6");
    QTest::newRow("a query sets nothing")
        << QByteArray("WIDTH T3,350") << QByteArray("WIDTH? T3") << QByteArray();
}

void tst_Instrument::held()
{
    QFETCH(QByteArray, set);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, expected);

    Instrument instrument(NumberForm::Exponent); // set lines write plain numbers all the same
    instrument.reply(set);
    QCOMPARE(instrument.held(line), expected);
}

void tst_Instrument::commandOf_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("command");

    QTest::newRow("identity") << QByteArray("*IDN?") << QByteArray("*IDN?");
    QTest::newRow("query") << QByteArray("freq? f1") << QByteArray("FREQ?");
    QTest::newRow("set") << QByteArray("Delay T1,5") << QByteArray("DELAY");
    QTest::newRow("leading spaces") << QByteArray("  AMPL? T1") << QByteArray("AMPL?");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void tst_Instrument::commandOf()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, command);

    QCOMPARE(Instrument::commandOf(line), command);
}

QTEST_APPLESS_MAIN(tst_Instrument)
#include "tst_instrument.moc"

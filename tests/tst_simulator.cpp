// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "simulatorthread.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QScopeGuard>
#include <QStringDecoder>
#include <QTcpSocket>
#include <QtTest>

#include <algorithm>

Q_DECLARE_METATYPE(SimulatorOptions)

namespace {

constexpr quint16 port = 4000;
constexpr int hangMs = 2500;
const QByteArray identityLine = "Tarvo,Model 318 Simulator,SN318001,1.0\r\n";

SimulatorOptions optionsOn(const char *address, SimulatorOptions options = {})
{
    options.address = QHostAddress(QString::fromLatin1(address));
    options.port = port;
    return options;
}

bool connectTo(QTcpSocket &socket, const SimulatorOptions &options)
{
    socket.connectToHost(options.address, options.port);
    return socket.waitForConnected(hangMs);
}

// Writes and hands the bytes to the system at once: waitForLines() does not run our event loop.
bool send(QTcpSocket &socket, const QByteArray &bytes)
{
    socket.write(bytes);
    return socket.waitForBytesWritten(hangMs);
}

// Reads until at least count bytes have arrived, or nothing more comes.
QByteArray readAtLeast(QTcpSocket &socket, qint64 count)
{
    QByteArray received = socket.readAll();
    while (received.size() < count && socket.waitForReadyRead(hangMs))
        received += socket.readAll();
    return received;
}

// Reads until nothing has arrived for quietMs.
QByteArray readUntilQuiet(QTcpSocket &socket, int quietMs)
{
    QByteArray received = socket.readAll();
    while (socket.waitForReadyRead(quietMs))
        received += socket.readAll();
    return received;
}

// Splits after each '\n', keeping it, like the simulator reads lines.
QByteArrayList linesOf(const QByteArray &bytes)
{
    QByteArrayList lines;
    qsizetype start = 0;
    for (qsizetype end; (end = bytes.indexOf('\n', start)) >= 0; start = end + 1)
        lines.append(bytes.mid(start, end + 1 - start));
    return lines;
}

// The simulator logs from its own thread, so the log is collected under a mutex.
QMutex logMutex;
QStringList logLines;

void captureLog(QtMsgType, const QMessageLogContext &, const QString &message)
{
    const QMutexLocker locker(&logMutex);
    logLines.append(message);
}

QStringList capturedLog()
{
    const QMutexLocker locker(&logMutex);
    return logLines;
}

} // namespace

class tst_Simulator : public QObject
{
    Q_OBJECT

private slots:
    void replies_data();
    void replies();
    void clientsShareState();
    void delays_data();
    void delays();
    void answersWithFaults_data();
    void answersWithFaults();
    void split_data();
    void split();
    void writes_data();
    void writes();
    void deviceServer_data();
    void deviceServer();
    void dropAfter_data();
    void dropAfter();
    void refuse();
    void garbage();
    void flood();
    void listenFailure();
};

void tst_Simulator::replies_data()
{
    QTest::addColumn<bool>("verbose");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QStringList>("expectedLog"); // %1 stands for the client's address and port

    QTest::newRow("identity") << false << QByteArray("*IDN?\r\n") << identityLine << QStringList();
    QTest::newRow("line feed alone ends a line")
        << false << QByteArray("FREQ? F2\n") << QByteArray("F2,1000\r\n") << QStringList();
    QTest::newRow("amplitude in volts")
        << false << QByteArray("AMPL? T4\r\n") << QByteArray("T4,5\r\n") << QStringList();
    QTest::newRow("set answers nothing, query sees it")
        << false << QByteArray("FREQ F1,5\r\nFREQ? F1\r\n") << QByteArray("F1,5\r\n")
        << QStringList();
    QTest::newRow("delay set then query") << false << QByteArray("DELAY T2,1500.5\r\nDELAY? T2\r\n")
                                          << QByteArray("T2,1500.5\r\n") << QStringList();
    QTest::newRow("line not understood is logged")
        << false << QByteArray("FREQ? F3\r\n*IDN?\r\n") << identityLine
        << QStringList{"%1: not understood: \"FREQ? F3\""};
    QTest::newRow("verbose logs lines received and sent")
        << true << QByteArray("FREQ? F1\r\n") << QByteArray("F1,1000\r\n")
        << QStringList{"%1: connected", "%1: received \"FREQ? F1\\r\\n\"",
                       "%1: sent \"F1,1000\\r\\n\""};
}

void tst_Simulator::replies()
{
    QFETCH(bool, verbose);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, expected);
    QFETCH(QStringList, expectedLog);

    logLines.clear();
    const QtMessageHandler previousHandler = qInstallMessageHandler(captureLog);
    const auto restoreHandler =
        qScopeGuard([previousHandler] { qInstallMessageHandler(previousHandler); });

    SimulatorOptions options = optionsOn("127.0.0.20");
    options.verbose = verbose;
    SimulatorThread simulator(options);
    QVERIFY(simulator.isListening());

    QTcpSocket socket;
    QVERIFY(connectTo(socket, options));
    QVERIFY(send(socket, sent));
    QVERIFY(socket.waitForReadyRead(hangMs));
    QCOMPARE(socket.readAll(), expected); // the whole reply in the first read: one write
    QVERIFY(simulator.waitForLines(linesOf(sent).size()));
    QCOMPARE(simulator.lines(), linesOf(sent));

    const QString client =
        socket.localAddress().toString() + ':' + QString::number(socket.localPort());
    for (QString &line : expectedLog)
        line = line.arg(client);
    QTRY_COMPARE_WITH_TIMEOUT(capturedLog(), expectedLog, hangMs);
}

void tst_Simulator::clientsShareState()
{
    const SimulatorOptions options = optionsOn("127.0.0.21");
    SimulatorThread simulator(options);
    QVERIFY(simulator.isListening());

    QTcpSocket first;
    QTcpSocket second;
    QVERIFY(connectTo(first, options));
    QVERIFY(connectTo(second, options));

    QVERIFY(send(first, "FREQ F2,777\r\n"));
    QVERIFY(simulator.waitForLines(1));
    QVERIFY(send(second, "FREQ? F2\r\n"));
    QCOMPARE(readAtLeast(second, 8), QByteArray("F2,777\r\n"));

    QVERIFY(send(second, "WIDTH T5,321\r\n"));
    QVERIFY(simulator.waitForLines(3));
    QVERIFY(send(first, "WIDTH? T5\r\n"));
    QCOMPARE(readAtLeast(first, 8), QByteArray("T5,321\r\n"));

    QCOMPARE(simulator.connections(), 2);
    QCOMPARE(
        simulator.lines(),
        (QByteArrayList{"FREQ F2,777\r\n", "FREQ? F2\r\n", "WIDTH T5,321\r\n", "WIDTH? T5\r\n"}));
    simulator.clearLines();
    QVERIFY(simulator.lines().isEmpty());
    QVERIFY(send(first, "*IDN?\r\n"));
    QCOMPARE(readAtLeast(first, identityLine.size()), identityLine);
    QCOMPARE(simulator.lines(), QByteArrayList{"*IDN?\r\n"});
}

void tst_Simulator::delays_data()
{
    QTest::addColumn<int>("latencyMs");
    QTest::addColumn<int>("lateMs");
    QTest::addColumn<QByteArray>("answerSets"); // empty: set lines stay unanswered
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("minimumMs");
    QTest::addColumn<int>("heldMs"); // one answer in one held this long at random

    QTest::newRow("latency") << 300 << 0 << QByteArray() << QByteArray("FREQ? F1\r\n")
                             << QByteArray("F1,1000\r\n") << 300 << 0;
    QTest::newRow("late query") << 0 << 300 << QByteArray() << QByteArray("FREQ? F1\r\n")
                                << QByteArray("F1,1000\r\n") << 300 << 0;
    QTest::newRow("latency and late add up")
        << 150 << 150 << QByteArray() << QByteArray("AMPL? T2\r\n") << QByteArray("T2,5\r\n") << 300
        << 0;
    QTest::newRow("latency delays answered sets")
        << 300 << 0 << QByteArray("OK") << QByteArray("FREQ F1,5\r\n") << QByteArray("OK\r\n")
        << 300 << 0;
    QTest::newRow("late query keeps the set answer behind it")
        << 0 << 300 << QByteArray("OK") << QByteArray("FREQ? F1\r\nFREQ F1,5\r\n")
        << QByteArray("F1,1000\r\nOK\r\n") << 300 << 0;
    QTest::newRow("latency takes one line after another")
        << 200 << 0 << QByteArray() << QByteArray("FREQ? F1\r\nFREQ? F2\r\nAMPL? T3\r\n")
        << QByteArray("F1,1000\r\nF2,1000\r\nT3,5\r\n") << 600 << 0;
    QTest::newRow("latency answers the set line, then the query")
        << 150 << 0 << QByteArray("OK") << QByteArray("FREQ F1,5\r\nFREQ? F1\r\n")
        << QByteArray("OK\r\nF1,5\r\n") << 300 << 0;
    QTest::newRow("latency counts unanswered set lines too")
        << 100 << 0 << QByteArray() << QByteArray("FREQ F1,5\r\nFREQ F2,6\r\nFREQ? F2\r\n")
        << QByteArray("F2,6\r\n") << 300 << 0;
    QTest::newRow("hold-random holds the answer, the set answer behind it")
        << 0 << 0 << QByteArray("OK") << QByteArray("FREQ? F1\r\nFREQ F1,5\r\n")
        << QByteArray("F1,1000\r\nOK\r\n") << 300 << 300;
}

void tst_Simulator::delays()
{
    QFETCH(int, latencyMs);
    QFETCH(int, lateMs);
    QFETCH(QByteArray, answerSets);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, expected);
    QFETCH(int, minimumMs);
    QFETCH(int, heldMs);

    SimulatorOptions options = optionsOn("127.0.0.22");
    options.latencyMs = latencyMs;
    options.lateMs = lateMs;
    if (heldMs > 0) {
        options.holdOneIn = 1;
        options.holdRandomMs = {heldMs, heldMs};
    }
    if (!answerSets.isEmpty())
        options.answerSets = answerSets;
    SimulatorThread simulator(options);
    QVERIFY(simulator.isListening());

    QTcpSocket socket;
    QVERIFY(connectTo(socket, options));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(send(socket, sent));
    QCOMPARE(readAtLeast(socket, expected.size()), expected);
    QVERIFY2(clock.elapsed() >= minimumMs, qPrintable(QString::number(clock.elapsed())));
}

void tst_Simulator::answersWithFaults_data()
{
    QTest::addColumn<SimulatorOptions>("options");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("expected");

    SimulatorOptions answerOk;
    answerOk.answerSets = "OK";
    SimulatorOptions answerAck;
    answerAck.answerSets = "ACK";
    SimulatorOptions muteAmplitudeT0;
    muteAmplitudeT0.mutePrefixes = QStringList{"AMPL? T0"};
    SimulatorOptions muteTwo;
    muteTwo.mutePrefixes = QStringList{"AMPL? T0", "DELAY? T0"};
    SimulatorOptions muteSetAnswerOk = answerOk;
    muteSetAnswerOk.mutePrefixes = QStringList{"FREQ F1"};
    SimulatorOptions silent;
    silent.silent = true;
    SimulatorOptions silentAnswerOk = answerOk;
    silentAnswerOk.silent = true;
    SimulatorOptions silentForTwo = answerOk;
    silentForTwo.silentForLines = 2;

    QTest::newRow("answer-sets answers set lines")
        << answerOk << QByteArray("FREQ F1,5\r\nFREQ? F1\r\n") << QByteArray("OK\r\nF1,5\r\n");
    QTest::newRow("answer-sets with other text")
        << answerAck << QByteArray("TRIG T1,IN1\r\nTRIG? T1\r\n")
        << QByteArray("ACK\r\nT1,IN1\r\n");
    QTest::newRow("answer-sets leaves lines not understood unanswered")
        << answerOk << QByteArray("FREQ F1,x\r\nFOO\r\nFREQ? F1\r\n") << QByteArray("F1,1000\r\n");
    QTest::newRow("mute") << muteAmplitudeT0 << QByteArray("AMPL? T0\r\nAMPL? T1\r\n")
                          << QByteArray("T1,5\r\n");
    QTest::newRow("mute given twice")
        << muteTwo << QByteArray("AMPL? T0\r\nDELAY? T0\r\nDELAY? T1\r\n")
        << QByteArray("T1,0\r\n");
    QTest::newRow("muted set line still applies")
        << muteSetAnswerOk << QByteArray("FREQ F1,5\r\nFREQ F2,6\r\nFREQ? F1\r\n")
        << QByteArray("OK\r\nF1,5\r\n");
    QTest::newRow("silent") << silent << QByteArray("*IDN?\r\nFREQ F1,5\r\nFREQ? F1\r\n")
                            << QByteArray();
    QTest::newRow("silent wins over answer-sets")
        << silentAnswerOk << QByteArray("FREQ F1,5\r\n") << QByteArray();
    SimulatorOptions holdF1;
    holdF1.holdMs.insert("FREQ? F1", 300);
    QTest::newRow("hold: a held answer keeps the later ones behind it")
        << holdF1 << QByteArray("FREQ? F1\r\nFREQ? F2\r\n") << QByteArray("F1,1000\r\nF2,1000\r\n");
    QTest::newRow("silent for two lines, then answering")
        << silentForTwo << QByteArray("FREQ F1,5\r\nFREQ? F1\r\nFREQ F2,6\r\nFREQ? F2\r\n")
        << QByteArray("OK\r\nF2,6\r\n");
    QTest::newRow("hold: the first time only")
        << holdF1 << QByteArray("FREQ? F1\r\nFREQ? F1\r\n") << QByteArray("F1,1000\r\nF1,1000\r\n");
    SimulatorOptions confirming;
    confirming.confirmSets = true;
    QTest::newRow("confirm-sets answers with the channel and the value")
        << confirming << QByteArray("WIDTH T3,350\r\nFREQ F2,6\r\nWIDTH? T3\r\n")
        << QByteArray("T3,350\r\nF2,6\r\nT3,350\r\n");
    SimulatorOptions keepOld = confirming;
    keepOld.keepOld = true;
    QTest::newRow("keep old: the set is refused, confirmed with the value held before")
        << keepOld << QByteArray("WIDTH T3,350\r\nAMPL T3,2500\r\nWIDTH? T3\r\nAMPL? T3\r\n")
        << QByteArray("T3,200\r\nT3,5000\r\nT3,200\r\nT3,5\r\n");
    SimulatorOptions keepStep = confirming;
    keepStep.keepStep = 5;
    QTest::newRow("keep step: the value rounded is kept and confirmed, amplitude in millivolts")
        << keepStep << QByteArray("WIDTH T3,352\r\nAMPL T3,2512\r\nWIDTH? T3\r\nAMPL? T3\r\n")
        << QByteArray("T3,350\r\nT3,2510\r\nT3,350\r\nT3,2.51\r\n");
    SimulatorOptions erring;
    erring.errors = {{"DELAY?", "ERR,3"}, {"WIDTH T3", "ERR,7"}};
    QTest::newRow("error answers with its text and changes nothing")
        << erring << QByteArray("DELAY? T1\r\nWIDTH T3,350\r\nWIDTH? T3\r\n")
        << QByteArray("ERR,3\r\nERR,7\r\nT3,200\r\n");
    SimulatorOptions repeating;
    repeating.repeatMs = 40;
    QTest::newRow("repeat writes every answer twice")
        << repeating << QByteArray("WIDTH? T3\r\nDELAY? T3\r\n")
        << QByteArray("T3,200\r\nT3,200\r\nT3,0\r\nT3,0\r\n");
    SimulatorOptions telnet;
    telnet.telnetGreeting = true;
    QTest::newRow("telnet negotiation before the first answer only")
        << telnet << QByteArray("FREQ? F1\r\nFREQ? F2\r\n")
        << QByteArray("\xff\xfb\x03\xff\xfb\x01"
                      "F1,1000\r\nF2,1000\r\n");
    SimulatorOptions cut;
    cut.cuts.insert("AMPL? T3", {4, 50});
    QTest::newRow("cut writes an answer in two pieces")
        << cut << QByteArray("AMPL? T3\r\nAMPL? T4\r\n") << QByteArray("T3,5\r\nT4,5\r\n");
    SimulatorOptions trailing;
    trailing.afterAnswer = QByteArray("OK");
    trailing.afterAnswerMs = 3;
    QTest::newRow("after-answer follows each answer to a query")
        << trailing << QByteArray("FREQ F1,5\r\nFREQ? F1\r\n") << QByteArray("F1,5\r\nOK\r\n");

    SimulatorOptions echo;
    echo.echo = true;
    SimulatorOptions echoAnswerOk = answerOk;
    echoAnswerOk.echo = true;
    SimulatorOptions echoSilent = silent;
    echoSilent.echo = true;
    SimulatorOptions echoSerial = echoAnswerOk;
    echoSerial.latencyMs = 20;
    QTest::newRow("echo writes each line back before its answer")
        << echo << QByteArray("FREQ F1,5\r\nFREQ? F1\r\n")
        << QByteArray("FREQ F1,5\r\nFREQ? F1\r\nF1,5\r\n");
    QTest::newRow("echo keeps the line as received")
        << echo << QByteArray("freq? f1 \n") << QByteArray("freq? f1 \nF1,1000\r\n");
    QTest::newRow("echo with answer-sets")
        << echoAnswerOk << QByteArray("FREQ F1,5\r\nFREQ? F1\r\n")
        << QByteArray("FREQ F1,5\r\nOK\r\nFREQ? F1\r\nF1,5\r\n");
    QTest::newRow("echo with latency: each line when it is taken up")
        << echoSerial << QByteArray("FREQ F1,5\r\nFREQ? F1\r\n")
        << QByteArray("FREQ F1,5\r\nOK\r\nFREQ? F1\r\nF1,5\r\n");
    QTest::newRow("echo of lines not understood")
        << echo << QByteArray("FOO\r\n") << QByteArray("FOO\r\n");
    QTest::newRow("silent still echoes") << echoSilent << QByteArray("*IDN?\r\nFREQ F1,5\r\n")
                                         << QByteArray("*IDN?\r\nFREQ F1,5\r\n");

    const QByteArray identity = identityLine.chopped(2);
    SimulatorOptions endCr = echoAnswerOk;
    endCr.terminator = "\r";
    SimulatorOptions endLf;
    endLf.terminator = "\n";
    SimulatorOptions endLfCr;
    endLfCr.terminator = "\n\r";
    endLfCr.replies.insert("FREQ? F2", "F2,abc");
    SimulatorOptions endNone = answerOk;
    endNone.terminator = "";
    QTest::newRow("terminator CR ends answers, echoes keep theirs")
        << endCr << QByteArray("FREQ F1,5\r\nFREQ? F1\r\n")
        << QByteArray("FREQ F1,5\r\nOK\rFREQ? F1\r\nF1,5\r");
    QTest::newRow("terminator LF ends the identity and replies")
        << endLf << QByteArray("*IDN?\r\nAMPL? T2\r\n") << identity + "\nT2,5\n";
    QTest::newRow("terminator LF CR ends canned replies")
        << endLfCr << QByteArray("FREQ? F2\r\nFREQ? F1\r\n") << QByteArray("F2,abc\n\rF1,1000\n\r");
    QTest::newRow("no terminator")
        << endNone << QByteArray("*IDN?\r\nFREQ F1,5\r\nFREQ? F1\r\n") << identity + "OKF1,5";

    SimulatorOptions exponent;
    exponent.numbers = NumberForm::Exponent;
    SimulatorOptions decimal = exponent;
    decimal.numbers = NumberForm::Decimal;
    const QByteArray everyQuantity("DELAY T1,-1500.5\r\nFREQ? F1\r\nWIDTH? T0\r\nAMPL? T1\r\n"
                                   "DELAY? T1\r\nTRIG? T1\r\n");
    QTest::newRow("numbers with exponents")
        << exponent << everyQuantity
        << QByteArray("F1,+1.000000E+03\r\nT0,+5.000000E+02\r\nT1,+5.000000E+00\r\n"
                      "T1,-1.500500E+03\r\nT1,OFF\r\n");
    QTest::newRow("numbers with decimals")
        << decimal << everyQuantity
        << QByteArray("F1,1000.000\r\nT0,500.000\r\nT1,5.000\r\nT1,-1500.500\r\nT1,OFF\r\n");
}

void tst_Simulator::answersWithFaults()
{
    QFETCH(SimulatorOptions, options);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, expected);

    options = optionsOn("127.0.0.23", options);
    SimulatorThread simulator(options);
    QVERIFY(simulator.isListening());

    QTcpSocket socket;
    QVERIFY(connectTo(socket, options));
    QVERIFY(send(socket, sent));
    QVERIFY(simulator.waitForLines(linesOf(sent).size()));
    QByteArray received = readAtLeast(socket, expected.size());
    received += readUntilQuiet(socket, 100); // nothing more may follow
    QCOMPARE(received, expected);
}

void tst_Simulator::split_data()
{
    QTest::addColumn<int>("splitBytes");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("latencyMs");

    QTest::newRow("4 bytes") << 4 << 20 << 0;
    QTest::newRow("7 bytes") << 7 << 20 << 0;
    QTest::newRow("16 bytes after latency") << 16 << 20 << 100;
    QTest::newRow("1 byte, 10 ms apart") << 1 << 10 << 0;
    QTest::newRow("7 bytes, 30 ms apart") << 7 << 30 << 0;
}

void tst_Simulator::split()
{
    QFETCH(int, splitBytes);
    QFETCH(int, gapMs);
    QFETCH(int, latencyMs);

    SimulatorOptions options = optionsOn("127.0.0.24");
    options.splitBytes = splitBytes;
    options.splitGapMs = gapMs;
    options.latencyMs = latencyMs;
    SimulatorThread simulator(options);
    QVERIFY(simulator.isListening());

    QTcpSocket socket;
    QVERIFY(connectTo(socket, options));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(send(socket, "*IDN?\r\n"));

    QByteArrayList reads;
    QByteArray received;
    while (received.size() < identityLine.size() && socket.waitForReadyRead(hangMs)) {
        reads.append(socket.readAll());
        received += reads.last();
    }
    QCOMPARE(received, identityLine);
    QVERIFY2(reads.size() >= 2, "a split reply came in one read");
    // Pieces may pile up before a read, but no piece is ever cut.
    for (qsizetype i = 0; i + 1 < reads.size(); ++i)
        QCOMPARE(reads[i].size() % splitBytes, 0);
    const int pieces = (identityLine.size() + splitBytes - 1) / splitBytes;
    QVERIFY(clock.elapsed() >= latencyMs + (pieces - 1) * gapMs);
}

void tst_Simulator::writes_data()
{
    QTest::addColumn<SimulatorOptions>("options");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArrayList>("expected"); // each write to the client

    SimulatorOptions prompting;
    prompting.confirmSets = true;
    prompting.prompt = QByteArray("> ");
    prompting.promptMs = 20;
    SimulatorOptions promptingAtOnce = prompting;
    promptingAtOnce.promptMs = 0;
    SimulatorOptions promptingEcho = prompting;
    promptingEcho.echo = true;
    const QByteArray sent("FREQ? F1\r\nWIDTH T3,350\r\n");

    QTest::newRow("prompt in a write of its own after each answer")
        << prompting << sent << QByteArrayList{"F1,1000\r\n", "> ", "T3,350\r\n", "> "};
    QTest::newRow("prompt at 0 ms in the answer's write")
        << promptingAtOnce << sent << QByteArrayList{"F1,1000\r\n> ", "T3,350\r\n> "};
    QTest::newRow("echo of the next line right behind the prompt")
        << promptingEcho << sent << QByteArrayList{"FREQ? F1\r\n",     "F1,1000\r\n", "> ",
                                                   "WIDTH T3,350\r\n", "T3,350\r\n",  "> "};
}

void tst_Simulator::writes()
{
    QFETCH(SimulatorOptions, options);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArrayList, expected);

    options = optionsOn("127.0.3.1", options);
    SimulatorThread simulator(options, true);
    QVERIFY(simulator.isListening());

    QTcpSocket socket;
    QVERIFY(connectTo(socket, options));
    QVERIFY(send(socket, sent));
    QByteArray received = readAtLeast(socket, expected.join().size());
    received += readUntilQuiet(socket, 100);
    QCOMPARE(received, expected.join());
    QCOMPARE(simulator.replies(), expected);
}

void tst_Simulator::deviceServer_data()
{
    QTest::addColumn<SimulatorOptions>("options");
    QTest::addColumn<QByteArray>("sentFirst"); // on the first connection, closed right after...
    QTest::addColumn<int>("closedMs");         // ...for this long; below 0 it stays open
    QTest::addColumn<QByteArray>("sentNext");  // on the next connection, or the first still open
    QTest::addColumn<QByteArray>("expected");  // on the next connection
    QTest::addColumn<int>("minimumMs");        // from the first line sent to the last byte

    SimulatorOptions held;
    held.deviceServer = true;
    held.mutePrefixes = QStringList{"*IDN?"};
    held.holdMs.insert("WIDTH? T3", 600);
    SimulatorOptions slow;
    slow.deviceServer = true;
    slow.latencyMs = 200;
    SimulatorOptions heldShortly;
    heldShortly.deviceServer = true;
    heldShortly.holdMs.insert("WIDTH? T3", 200);
    SimulatorOptions tcp = heldShortly;
    tcp.deviceServer = false;

    QTest::newRow("device-server: a held answer comes out on the next connection when due")
        << held << QByteArray("WIDTH? T3\r\n") << 0 << QByteArray("*IDN?\r\nFREQ? F2\r\n")
        << QByteArray("T3,200\r\nF2,1000\r\n") << 600;
    QTest::newRow("device-server: lines still taken up are answered on the next connection")
        << slow << QByteArray("FREQ F1,5\r\nFREQ? F1\r\nFREQ? F2\r\n") << 0
        << QByteArray("AMPL? T3\r\n") << QByteArray("F1,5\r\nF2,1000\r\nT3,5\r\n") << 800;
    QTest::newRow("device-server: with no connection open, the answer waits for the next one")
        << heldShortly << QByteArray("WIDTH? T3\r\n") << 500 << QByteArray()
        << QByteArray("T3,200\r\n") << 500;
    QTest::newRow("device-server: a line on a connection still open is answered on the newer one")
        << slow << QByteArray() << -1 << QByteArray("FREQ? F2\r\n") << QByteArray("F2,1000\r\n")
        << 200;
    QTest::newRow("TCP instrument: what a connection is owed is lost with it")
        << tcp << QByteArray("WIDTH? T3\r\n") << 0 << QByteArray("FREQ? F2\r\n")
        << QByteArray("F2,1000\r\n") << 0;
}

void tst_Simulator::deviceServer()
{
    QFETCH(SimulatorOptions, options);
    QFETCH(QByteArray, sentFirst);
    QFETCH(int, closedMs);
    QFETCH(QByteArray, sentNext);
    QFETCH(QByteArray, expected);
    QFETCH(int, minimumMs);

    options = optionsOn("127.0.3.2", options);
    SimulatorThread simulator(options);
    QVERIFY(simulator.isListening());

    QElapsedTimer clock;
    QTcpSocket first;
    QVERIFY(connectTo(first, options));
    clock.start();
    if (!sentFirst.isEmpty())
        QVERIFY(send(first, sentFirst));
    QVERIFY(simulator.waitForLines(linesOf(sentFirst).size()));
    if (closedMs >= 0) {
        first.close();
        QThread::msleep(closedMs);
    }

    QTcpSocket next;
    QVERIFY(connectTo(next, options));
    QTRY_COMPARE_WITH_TIMEOUT(simulator.connections(), 2, hangMs);
    if (!sentNext.isEmpty())
        QVERIFY(send(closedMs >= 0 ? next : first, sentNext));
    QByteArray received = readAtLeast(next, expected.size());
    const qint64 elapsedMs = clock.elapsed();
    received += readUntilQuiet(next, 300); // past what was held: nothing more may follow
    QCOMPARE(received, expected);
    QVERIFY2(elapsedMs >= minimumMs, qPrintable(QString::number(elapsedMs)));
    if (closedMs < 0)
        QCOMPARE(readUntilQuiet(first, 0), QByteArray());
}

void tst_Simulator::dropAfter_data()
{
    QTest::addColumn<int>("dropAfterLines");

    QTest::newRow("after 1 line") << 1;
    QTest::newRow("after 3 lines") << 3;
}

void tst_Simulator::dropAfter()
{
    QFETCH(int, dropAfterLines);

    SimulatorOptions options = optionsOn("127.0.0.25");
    options.dropAfterLines = dropAfterLines;
    SimulatorThread simulator(options);
    QVERIFY(simulator.isListening());

    // Each connection counts afresh; the closing line is neither answered nor applied.
    for (int connection = 1; connection <= 2; ++connection) {
        QTcpSocket socket;
        QVERIFY(connectTo(socket, options));
        for (int line = 1; line < dropAfterLines; ++line) {
            QVERIFY(send(socket, "FREQ? F1\r\n"));
            QCOMPARE(readAtLeast(socket, 9), QByteArray("F1,1000\r\n"));
        }
        QVERIFY(send(socket, "FREQ F1,5\r\n"));
        QVERIFY(socket.state() == QAbstractSocket::UnconnectedState
                || socket.waitForDisconnected(hangMs));
        QCOMPARE(socket.readAll(), QByteArray());
    }
    QCOMPARE(simulator.connections(), 2);
    QCOMPARE(simulator.lines().size(), 2 * dropAfterLines);
    QCOMPARE(simulator.lines().last(), QByteArray("FREQ F1,5\r\n"));

    QTcpSocket socket;
    QVERIFY(connectTo(socket, options));
    QVERIFY(send(socket, dropAfterLines == 1 ? "FREQ F1,5\r\n" : "FREQ? F1\r\n"));
    if (dropAfterLines > 1)
        QCOMPARE(readAtLeast(socket, 9), QByteArray("F1,1000\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(simulator.connections(), 3, hangMs);
}

void tst_Simulator::refuse()
{
    SimulatorOptions options = optionsOn("127.0.0.26");
    options.refuse = true;
    SimulatorThread simulator(options);
    QVERIFY(simulator.isListening());

    for (int connection = 1; connection <= 2; ++connection) {
        QTcpSocket socket;
        QVERIFY(connectTo(socket, options));
        QVERIFY(socket.state() == QAbstractSocket::UnconnectedState
                || socket.waitForDisconnected(hangMs));
        QCOMPARE(socket.readAll(), QByteArray());
        QCOMPARE(simulator.connections(), connection);
    }
    QVERIFY(simulator.lines().isEmpty());
}

void tst_Simulator::garbage()
{
    constexpr int lineCount = 40;
    auto collect = [](const SimulatorOptions &options, SimulatorThread &simulator) {
        QTcpSocket socket;
        if (!connectTo(socket, options))
            return QByteArray();
        const int linesBefore = simulator.lines().size();
        if (!send(socket, QByteArray("FREQ? F1\r\n").repeated(lineCount))
            || !simulator.waitForLines(linesBefore + lineCount))
            return QByteArray();
        return readUntilQuiet(socket, 300);
    };

    SimulatorOptions options = optionsOn("127.0.0.27");
    options.garbageSeed = 318;
    QByteArray first;
    QByteArray again;
    {
        SimulatorThread simulator(options);
        QVERIFY(simulator.isListening());
        first = collect(options, simulator);
        again = collect(options, simulator);
    }
    QCOMPARE(again, first); // the same seed repeats the same bytes

    QVERIFY(first.size() > 10000); // some lines are very long
    QVERIFY(!first.startsWith("F1,1000"));
    QVERIFY(first.contains(','));
    QVERIFY(std::any_of(first.cbegin(), first.cend(),
                        [](char c) { return uchar(c) < 0x20 && c != '\r' && c != '\n'; }));
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder.decode(first);
    QVERIFY(decoder.hasError());

    options.garbageSeed = 319;
    SimulatorThread otherSeed(options);
    QVERIFY(otherSeed.isListening());
    const QByteArray other = collect(options, otherSeed);
    QVERIFY(!other.isEmpty());
    QVERIFY(other != first);
}

void tst_Simulator::flood()
{
    constexpr qint64 floodBytes = 10'000'000;
    SimulatorOptions options = optionsOn("127.0.0.28");
    options.floodBytes = floodBytes;
    SimulatorThread simulator(options);
    QVERIFY(simulator.isListening());

    QTcpSocket flooded;
    QVERIFY(connectTo(flooded, options));
    QVERIFY(send(flooded, "*IDN?\r\nFREQ? F2\r\n"));
    QVERIFY(simulator.waitForLines(2));

    // While the flood waits for the first client to read, others are still served.
    QTcpSocket other;
    QVERIFY(connectTo(other, options));
    QVERIFY(send(other, "FREQ? F1\r\n"));
    QCOMPARE(readAtLeast(other, 9), QByteArray("F1,1000\r\n"));

    const QByteArray received = readAtLeast(flooded, floodBytes + 9);
    QCOMPARE(received.size(), floodBytes + 9);
    QCOMPARE(received.indexOf('\n'), floodBytes - 1);
    QCOMPARE(received.indexOf('\r'), floodBytes - 2);
    QCOMPARE(received.mid(floodBytes), QByteArray("F2,1000\r\n"));
}

void tst_Simulator::listenFailure()
{
    const SimulatorOptions options = optionsOn("127.0.0.29");
    SimulatorThread first(options);
    QVERIFY(first.isListening());
    QCOMPARE(first.errorString(), QString());

    SimulatorThread second(options);
    QVERIFY(!second.isListening());
    QCOMPARE(second.errorString(), QString("The bound address is already in use"));

    QTcpSocket socket;
    QVERIFY(connectTo(socket, options));
    QVERIFY(send(socket, "*IDN?\r\n"));
    QCOMPARE(readAtLeast(socket, identityLine.size()), identityLine);
    QCOMPARE(first.connections(), 1);
    QCOMPARE(second.connections(), 0);
}

QTEST_GUILESS_MAIN(tst_Simulator)
#include "tst_simulator.moc"

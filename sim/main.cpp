// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTextStream>

#include <climits>
#include <cstdlib>
#include <tuple>
#include <utility>

#ifdef Q_OS_WIN
#  include <QMetaObject>
#  include <windows.h>
#else
#  include <QSocketNotifier>
#  include <cerrno>
#  include <csignal>
#  include <cstring>
#  include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
// Ctrl-C, Ctrl-Break and the closing of the console (or the session) arrive on a thread of
// the system's own; the event loop is asked to quit, and main() stops the simulator cleanly.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
    // Windows ends the process as soon as this returns from any of the other events: wait
    // for main() to end it instead (Windows allows a few seconds).
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

bool stopOnRequest(QCoreApplication &)
{
    if (SetConsoleCtrlHandler(onConsoleEvent, TRUE))
        return true;
    QTextStream(stderr) << "dg318-sim: cannot handle Ctrl-C: error " << GetLastError() << '\n';
    return false;
}
#else
// SIGINT and SIGTERM only write a byte into this pipe; the event loop reads it and quits.
int signalPipe[2];

void onSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool stopOnRequest(QCoreApplication &app)
{
    if (::pipe(signalPipe) != 0) {
        QTextStream(stderr) << "dg318-sim: cannot create a pipe: " << strerror(errno) << '\n';
        return false;
    }
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    return true;
}
#endif

[[noreturn]] void failOption(const QString &name, const QString &value)
{
    QTextStream(stderr) << "dg318-sim: invalid value for --" << name << ": \"" << value << "\"\n";
    ::exit(2);
}

qint64 number(const QCommandLineParser &parser, const QString &name, qint64 lowest, qint64 highest)
{
    bool ok = false;
    const qint64 value = parser.value(name).toLongLong(&ok);
    if (!ok || value < lowest || value > highest)
        failOption(name, parser.value(name));
    return value;
}

// "<text>=<ms>", as --hold, --banner, --after-answer and --prompt take it.
std::pair<QByteArray, int> textAndMs(const QString &name, const QString &value)
{
    const qsizetype separator = value.lastIndexOf('=');
    bool ok = false;
    const int ms = separator > 0 ? QStringView(value).sliced(separator + 1).toInt(&ok) : -1;
    if (!ok || ms < 0)
        failOption(name, value);
    return {value.left(separator).toUtf8(), ms};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("dg318-sim");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Simulates a Tarvo Model 318 delay generator on a TCP port. Like the instrument it\n"
        "handles one line at a time and answers in order. The fault modes combine with each\n"
        "other and with --latency, --echo, --terminator and --numbers.");
    parser.addHelpOption();
    parser.addOptions({
        {"address", "Listen on <address>.", "address", "127.0.0.1"},
        {"port", "Listen on <port>.", "port", "4000"},
        {"latency",
         "Take <ms> milliseconds for every line, set lines included, one line after another.", "ms",
         "0"},
        {"echo", "Write every line back, as received, before answering it."},
        {"terminator",
         "End every line written (replies, answers to set lines, the identity) with <end>: crlf "
         "(default), lf, cr, lfcr or none. Echoes keep their own.",
         "end", "crlf"},
        {"numbers",
         "Write the numbers in replies (frequency, width, amplitude in volts, delay) as <form>: "
         "plain (default, 1000), exponent (+1.000000E+03) or decimal (1000.000).",
         "form", "plain"},
        {"verbose", "Log every line received and sent."},
        {"answer-sets", "Answer every set line with <text>.", "text"},
        {"split", "Write every reply in pieces of <n> bytes, 20 ms apart.", "n"},
        {"split-gap", "With --split, write the pieces <ms> milliseconds apart (default 20).", "ms",
         "20"},
        {"late", "Answer queries only after <ms> more milliseconds.", "ms"},
        {"mute", "Never answer lines that begin with <prefix> (repeatable).", "prefix"},
        {"silent", "Read everything, answer nothing."},
        {"silent-for",
         "Answer none of the first <n> lines, on whichever connection they come, then answer as "
         "usual (an instrument busy in a front-panel menu).",
         "n"},
        {"drop-after", "Close a connection when its <n>-th line arrives.", "n"},
        {"refuse", "Close every connection as soon as it is accepted."},
        {"device-server",
         "Keep going when a connection closes, as an instrument behind a serial device server "
         "does: what it still owes (answers held, late or queued, lines not yet answered) comes "
         "out when due on the connection opened last, or on the next one to open."},
        {"close-after-answer",
         "Close a connection <ms> milliseconds after it has answered a line (a device that "
         "speaks another protocol, a bridge that drops its clients).",
         "ms"},
        {"hold",
         "Hold the answer to <line> back <ms> milliseconds the first time it comes, every later "
         "answer waiting behind it, as a network does that sends a lost packet again "
         "(repeatable), e.g. "
         "\"AMPL? T3=2200\".",
         "line=ms"},
        {"hold-random",
         "Hold one answer in <n> back a time between <min> and <max> milliseconds, drawn at random "
         "from <seed> (default 0), every later answer waiting behind it, e.g. \"10:1200-3500\".",
         "n:min-max[:seed]"},
        {"confirm-sets",
         "Answer every set line with its channel and value, as \"T3,350\" for \"WIDTH T3,350\"."},
        {"keep",
         "With --confirm-sets, what a set line leaves and its answer carries: sent (default, the "
         "value sent), old (the set is refused: the value held before) or step:<n> (the value "
         "sent rounded to the nearest multiple of <n>, the amplitude in millivolts).",
         "how", "sent"},
        {"repeat",
         "Write every answer once more, <ms> milliseconds after the first time (an instrument that "
         "repeats itself, a bridge that sends again).",
         "ms"},
        {"telnet",
         "Put a serial bridge's telnet negotiation (IAC WILL SUPPRESS-GO-AHEAD, IAC WILL ECHO) in "
         "front of a connection's first answer."},
        {"banner",
         "Write <text> as a line of its own <ms> milliseconds after a client connects, as a serial "
         "bridge with a banner does, e.g. \"ser2net port 4000=50\".",
         "text=ms"},
        {"cut",
         "Write the answer to <line> in two pieces: its first <n> bytes, then the rest <ms> "
         "milliseconds later (repeatable), e.g. \"AMPL? T3=4:250\".",
         "line=n:ms"},
        {"after-answer",
         "Write <text> after every answer to a query, <ms> milliseconds after it, in a write of "
         "its own, e.g. \"OK=3\".",
         "text=ms"},
        {"prompt",
         "Write <text>, without a line end, <ms> milliseconds after every answer, in a write of "
         "its own (at 0 ms, in the answer's), as a console-style instrument writes its prompt, "
         "e.g. \"> =20\".",
         "text=ms"},
        {"garbage", "Answer every line with random bytes made from <seed>.", "seed"},
        {"flood", "Answer *IDN? with <bytes> bytes.", "bytes"},
        {"fuzz", "Answer queries with random, almost valid replies made from <seed>.", "seed"},
        {"reply", "Answer <line> with <text> instead (repeatable), e.g. \"FREQ? F1=F1,abc\".",
         "line=text"},
        {"error",
         "Answer every line that begins with <prefix> with <text> instead, changing nothing, as "
         "an instrument reports an error (repeatable), e.g. \"DELAY?=ERR,3\".",
         "prefix=text"},
    });
    if (!parser.parse(app.arguments())) {
        QTextStream(stderr) << "dg318-sim: " << parser.errorText() << '\n';
        return 2;
    }
    if (parser.isSet("help"))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty()) {
        QTextStream(stderr) << "dg318-sim: unexpected argument \""
                            << parser.positionalArguments().constFirst() << "\"\n";
        return 2;
    }

    SimulatorOptions options;
    if (!options.address.setAddress(parser.value("address")))
        failOption("address", parser.value("address"));
    options.port = quint16(number(parser, "port", 0, 65535));
    options.latencyMs = int(number(parser, "latency", 0, INT_MAX));
    options.echo = parser.isSet("echo");
    static const QMap<QString, QByteArray> terminators = {
        {"crlf", "\r\n"}, {"lf", "\n"}, {"cr", "\r"}, {"lfcr", "\n\r"}, {"none", ""}};
    const auto terminator = terminators.constFind(parser.value("terminator"));
    if (terminator == terminators.cend())
        failOption("terminator", parser.value("terminator"));
    options.terminator = *terminator;
    static const QMap<QString, NumberForm> numberForms = {{"plain", NumberForm::Plain},
                                                          {"exponent", NumberForm::Exponent},
                                                          {"decimal", NumberForm::Decimal}};
    const auto numbers = numberForms.constFind(parser.value("numbers"));
    if (numbers == numberForms.cend())
        failOption("numbers", parser.value("numbers"));
    options.numbers = *numbers;
    options.verbose = parser.isSet("verbose");
    if (parser.isSet("answer-sets"))
        options.answerSets = parser.value("answer-sets").toUtf8();
    if (parser.isSet("split"))
        options.splitBytes = int(number(parser, "split", 1, INT_MAX));
    options.splitGapMs = int(number(parser, "split-gap", 0, INT_MAX));
    if (parser.isSet("late"))
        options.lateMs = int(number(parser, "late", 0, INT_MAX));
    options.mutePrefixes = parser.values("mute");
    options.silent = parser.isSet("silent");
    if (parser.isSet("silent-for"))
        options.silentForLines = int(number(parser, "silent-for", 1, INT_MAX));
    if (parser.isSet("drop-after"))
        options.dropAfterLines = int(number(parser, "drop-after", 1, INT_MAX));
    options.refuse = parser.isSet("refuse");
    options.deviceServer = parser.isSet("device-server");
    if (parser.isSet("close-after-answer"))
        options.closeAfterAnswerMs = int(number(parser, "close-after-answer", 0, INT_MAX));
    const QStringList holds = parser.values("hold");
    for (const QString &hold : holds) {
        const auto [line, ms] = textAndMs("hold", hold);
        options.holdMs.insert(line, ms);
    }
    if (parser.isSet("hold-random")) {
        static const QRegularExpression form(
            QStringLiteral("^([0-9]+):([0-9]+)-([0-9]+)(?::([0-9]+))?$"));
        const QRegularExpressionMatch match = form.match(parser.value("hold-random"));
        const int oneIn = match.captured(1).toInt();
        const int shortest = match.captured(2).toInt();
        const int longest = match.captured(3).toInt();
        if (!match.hasMatch() || oneIn < 1 || shortest > longest)
            failOption("hold-random", parser.value("hold-random"));
        options.holdOneIn = oneIn;
        options.holdRandomMs = {shortest, longest};
        options.holdSeed = match.captured(4).toUInt();
    }
    options.confirmSets = parser.isSet("confirm-sets");
    const QString keep = parser.value("keep");
    if (keep == "old") {
        options.keepOld = true;
    } else if (keep.startsWith("step:")) {
        bool ok = false;
        options.keepStep = QStringView(keep).sliced(5).toInt(&ok);
        if (!ok || options.keepStep < 1)
            failOption("keep", keep);
    } else if (keep != "sent") {
        failOption("keep", keep);
    }
    if (parser.isSet("repeat"))
        options.repeatMs = int(number(parser, "repeat", 0, INT_MAX));
    options.telnetGreeting = parser.isSet("telnet");
    if (parser.isSet("banner"))
        std::tie(options.banner, options.bannerMs) = textAndMs("banner", parser.value("banner"));
    const QStringList cuts = parser.values("cut");
    for (const QString &cut : cuts) {
        const qsizetype separator = cut.lastIndexOf('=');
        const QStringList split = cut.mid(separator + 1).split(':');
        bool bytesOk = false;
        bool msOk = false;
        const int bytes = split.value(0).toInt(&bytesOk);
        const int ms = split.value(1).toInt(&msOk);
        if (separator <= 0 || split.size() != 2 || !bytesOk || !msOk || bytes < 1 || ms < 0)
            failOption("cut", cut);
        options.cuts.insert(cut.left(separator).toUtf8(), {bytes, ms});
    }
    if (parser.isSet("after-answer"))
        std::tie(options.afterAnswer, options.afterAnswerMs) =
            textAndMs("after-answer", parser.value("after-answer"));
    if (parser.isSet("prompt"))
        std::tie(options.prompt, options.promptMs) = textAndMs("prompt", parser.value("prompt"));
    if (parser.isSet("garbage"))
        options.garbageSeed = quint32(number(parser, "garbage", 0, UINT_MAX));
    if (parser.isSet("fuzz"))
        options.fuzzSeed = quint32(number(parser, "fuzz", 0, UINT_MAX));
    if (parser.isSet("flood"))
        options.floodBytes = number(parser, "flood", 1, LLONG_MAX);
    const QStringList replies = parser.values("reply");
    for (const QString &canned : replies) {
        const qsizetype separator = canned.indexOf('=');
        if (separator <= 0)
            failOption("reply", canned);
        options.replies.insert(canned.left(separator).toUtf8(), canned.mid(separator + 1).toUtf8());
    }
    const QStringList errors = parser.values("error");
    for (const QString &error : errors) {
        const qsizetype separator = error.indexOf('=');
        if (separator <= 0)
            failOption("error", error);
        options.errors.append({error.left(separator).toUtf8(), error.mid(separator + 1).toUtf8()});
    }

    if (!stopOnRequest(app))
        return 1;

    Simulator simulator(options);
    QString errorText;
    if (!simulator.listen(&errorText)) {
        QTextStream(stderr) << "dg318-sim: cannot listen on " << options.address.toString() << ':'
                            << options.port << ": " << errorText << '\n';
        return 1;
    }
    QTextStream(stdout) << "listening on " << options.address.toString() << ':'
                        << simulator.serverPort() << Qt::endl;
    return app.exec();
}

// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "widget.h"
#include "ui_widget.h"

#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QDebug>
#include <QHostAddress>
#include <QIcon>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QTcpSocket>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace {

constexpr quint16 instrumentPort = 4000;
constexpr int waitMs = 1000;
// No reply of the instrument comes near this; anything longer is noise.
constexpr qint64 maxReplyBytes = 64 * 1024;
// Lines kept for telling echoes from replies while an instrument answers nothing.
constexpr qsizetype rememberedLines = 64;
// Text without a line end is a whole reply once nothing has followed it for this long; an
// instrument still sending one byte at a time, even over a slow serial bridge, is far quicker.
constexpr int pauseMs = 100;
// Update data stops after this many read-backs in a row without a single byte from the
// instrument (each costs both waits): one that is switched off behind a serial bridge, hung, or
// busy in a front-panel menu would otherwise hold the window for over a minute.
constexpr int unheardReadBacksToStop = 2;
// No new attempt follows the third loss of the connection within this time: a peer that takes
// every connection and closes it again (a device that speaks another protocol on this port, a
// bridge that drops its clients) would otherwise be called again and again, for ever.
constexpr int lossesToStop = 3;
constexpr int lossWindowMs = 10000;

constexpr char identityQuery[] = "*IDN?";

// Trigger types on the wire, in the order of the panel's combo box.
const char *const triggerKeywords[] = {"OFF", "IN1", "IN2"};

// Reads the typed text as exactly four decimal parts. QHostAddress would read
// "010" as octal and complete "10.1" to 10.0.0.1; here such text is no address.
// A null address makes the socket fail at once as for an unknown host, without
// a name lookup.
QHostAddress instrumentAddress(const QString &text)
{
    static const QRegularExpression dottedQuad(
        QStringLiteral("^([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})$"));
    const QRegularExpressionMatch match = dottedQuad.match(text);
    if (!match.hasMatch())
        return QHostAddress();
    quint32 address = 0;
    for (int part = 1; part <= 4; ++part) {
        const uint octet = match.capturedView(part).toUInt();
        if (octet > 255)
            return QHostAddress();
        address = address << 8 | octet;
    }
    return QHostAddress(address);
}

// Qt's blocking socket waits may return before their time on Windows. Each of these runs the
// wait again until what it waits for has happened or its own deadline has passed.
bool connectedWithin(QTcpSocket *link, int ms)
{
    const QDeadlineTimer deadline(ms);
    while ((link->state() == QAbstractSocket::HostLookupState
            || link->state() == QAbstractSocket::ConnectingState)
           && !deadline.hasExpired())
        link->waitForConnected(int(deadline.remainingTime()));
    return link->state() == QAbstractSocket::ConnectedState;
}

bool disconnectedWithin(QTcpSocket *link, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (link->state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired())
        link->waitForDisconnected(int(deadline.remainingTime()));
    return link->state() == QAbstractSocket::UnconnectedState;
}

void writtenWithin(QTcpSocket *link, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (link->bytesToWrite() > 0 && link->state() == QAbstractSocket::ConnectedState
           && !deadline.hasExpired())
        link->waitForBytesWritten(int(deadline.remainingTime()));
}

// Where the first line in `bytes` ends: its length with its line end, which is LF, CR, or CR LF
// or LF CR taken as one; -1 while no line end has come. Instruments and the serial bridges in
// front of them end their lines in all these ways.
qsizetype lineLength(QByteArrayView bytes)
{
    const auto isLineEnd = [](char c) { return c == '\r' || c == '\n'; };
    const auto end = std::find_if(bytes.begin(), bytes.end(), isLineEnd);
    if (end == bytes.end())
        return -1;
    const qsizetype at = end - bytes.begin();
    const bool pair = at + 1 < bytes.size() && isLineEnd(bytes[at + 1]) && bytes[at + 1] != *end;
    return at + (pair ? 2 : 1);
}

// Blank lines, and the second half of a line end that came in a later read than the first,
// are not worth a log line.
void logDiscarded(const QByteArray &bytes)
{
    if (!QByteArrayView(bytes).trimmed().isEmpty())
        qDebug() << "discarded:" << QString::fromUtf8(bytes);
}

// Moves buffered input into `line`, up to and including the first line end; what follows stays in
// the socket. Bytes beyond maxReplyBytes are counted in `dropped` instead of kept. Returns true
// once the line end has been taken.
bool takeLine(QTcpSocket *link, QByteArray &line, qint64 &dropped)
{
    while (link->bytesAvailable() > 0) {
        const QByteArray available = link->peek(qMin(link->bytesAvailable(), maxReplyBytes));
        const qsizetype length = lineLength(available);
        const qint64 count = length < 0 ? available.size() : length;
        link->skip(count);
        const qint64 room = qMax<qint64>(0, maxReplyBytes - line.size());
        line.append(available.first(qMin(count, room)));
        dropped += qMax<qint64>(0, count - room);
        if (length >= 0)
            return true;
    }
    return false;
}

// The identity query's reply names no source or channel, so it cannot pass for a read-back's.
bool isIdentityQuery(QByteArrayView line)
{
    return line.trimmed() == QByteArrayView(identityQuery);
}

// Whether a read-back among the owed queries may still be answered: its reply, which names only
// a source or channel and not the quantity, could then pass for a later read-back's.
bool readBackOwed(const QByteArrayList &owedReplies)
{
    return !std::all_of(owedReplies.cbegin(), owedReplies.cend(), isIdentityQuery);
}

bool identityOwed(const QByteArrayList &owedReplies)
{
    return std::any_of(owedReplies.cbegin(), owedReplies.cend(), isIdentityQuery);
}

// A reply to an owed identity query has come. The instrument answers in order, so whatever was
// owed up to the oldest of those queries has come or never will: it is owed no longer. Which of
// several identity queries the reply answers cannot be told; the oldest is the safe guess, as it
// settles the least.
void settleOwed(QByteArrayList &owedReplies)
{
    const auto identity = std::find_if(owedReplies.cbegin(), owedReplies.cend(), isIdentityQuery);
    if (identity != owedReplies.cend())
        owedReplies.erase(owedReplies.cbegin(), identity + 1);
}

// A source or channel name, F or T and a number in any case, white space around it
// allowed: " t03 " is the letter 'T' and the number "3".
struct Target
{
    char letter = 0;
    QByteArrayView number; // digits, without leading zeros

    bool operator==(const Target &other) const
    {
        return letter == other.letter && number == other.number;
    }
};

std::optional<Target> targetNamed(QByteArrayView text)
{
    text = text.trimmed();
    if (text.size() < 2)
        return std::nullopt;
    const char letter = char(std::toupper(uchar(text.front())));
    QByteArrayView number = text.sliced(1);
    if ((letter != 'F' && letter != 'T')
        || !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    while (number.size() > 1 && number.front() == '0')
        number = number.sliced(1);
    return Target{letter, number};
}

// The first non-empty comma-separated piece, as a reply is read.
QByteArrayView firstPiece(QByteArrayView line)
{
    for (qsizetype start = 0;;) {
        const qsizetype comma = line.indexOf(',', start);
        const QByteArrayView piece = line.sliced(start, (comma < 0 ? line.size() : comma) - start);
        if (!piece.isEmpty() || comma < 0)
            return piece;
        start = comma + 1;
    }
}

// What a line that arrives while a query waits for its reply is. The instrument answers in
// order, so what cannot be the reply comes before it: blank lines, which some instruments send
// before their replies, echoes of lines sent since the last reply, the answers to set lines (no
// comma, one per set line at most), the replies still owed to earlier queries and, from an
// instrument that answers wrongly, the reply to a query about another source or channel.
// An identity reply names no source or channel and, once the instrument has given its identity
// on this connection (`identityReply`), repeats it. While a read-back is owed, any other line may
// be its reply; while an identity query is owed, an identity reply may be that query's.
enum class Incoming { Reply, Blank, Echo, SetAnswer, LateReply, LateIdentity, OtherTarget };
Incoming classifyIncoming(QByteArrayView line, QByteArrayView target,
                          const QByteArrayList &sentSinceReply, int unansweredSets,
                          const QByteArrayList &owedReplies, QByteArrayView identityReply)
{
    const QByteArrayView text = line.trimmed();
    if (text.isEmpty())
        return Incoming::Blank;
    const auto repeats = [text](const QByteArray &sent) {
        return QByteArrayView(sent).trimmed() == text;
    };
    if (std::any_of(sentSinceReply.cbegin(), sentSinceReply.cend(), repeats))
        return Incoming::Echo;
    if (!line.contains(',') && unansweredSets > 0)
        return Incoming::SetAnswer;
    const std::optional<Target> named = targetNamed(firstPiece(line));
    const bool identity = !named && (identityReply.isEmpty() || text == identityReply);
    if (!identity && readBackOwed(owedReplies))
        return Incoming::LateReply;
    if (identity && identityOwed(owedReplies))
        return Incoming::LateIdentity;
    const std::optional<Target> queried = targetNamed(target);
    if (queried && named && !(*named == *queried))
        return Incoming::OtherTarget;
    return Incoming::Reply;
}

// The value of a reply "<source or channel>,<value>": the second of exactly
// two non-empty comma-separated pieces.
std::optional<QString> replyValue(const QString &reply)
{
    const QStringList pieces = reply.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (pieces.size() != 2)
        return std::nullopt;
    return pieces.at(1);
}

// The 32-bit whole number that a decimal number stands for, in any of the forms instruments
// write: "1000", "+1000", "1000.000", "+1.000000E+03", "1e3", white space around it allowed.
// Worked out from the digits, not through a double, so that no fraction is rounded away. A
// fraction, a value beyond 32 bits, and whatever is no decimal number (inf, nan, hexadecimal)
// stand for none: such a reply leaves the control as it was.
std::optional<int> wholeNumber(const QString &text)
{
    static const QRegularExpression decimal(
        QStringLiteral("^([+-]?)([0-9]*)(?:\\.([0-9]*))?(?:[eE]([+-]?[0-9]+))?$"));
    const QRegularExpressionMatch match = decimal.match(text.trimmed());
    if (!match.hasMatch() || (match.capturedLength(2) == 0 && match.capturedLength(3) == 0))
        return std::nullopt;
    const QString allDigits = match.captured(2) + match.captured(3);
    QStringView digits = allDigits;
    const auto isZero = [](QChar c) { return c == QLatin1Char('0'); };
    digits = digits.sliced(std::find_if_not(digits.begin(), digits.end(), isZero) - digits.begin());
    if (digits.isEmpty())
        return 0;
    bool exponentFits = true;
    const int written = match.capturedLength(4) > 0 ? match.captured(4).toInt(&exponentFits) : 0;
    if (!exponentFits)
        return std::nullopt; // far beyond 32 bits, or far below 1
    qint64 exponent = qint64(written) - match.capturedLength(3);
    while (exponent < 0 && digits.endsWith(QLatin1Char('0'))) {
        digits.chop(1);
        ++exponent;
    }
    // Ten digits at the most: 2147483648 is the largest magnitude that fits.
    if (exponent < 0 || digits.size() + exponent > 10)
        return std::nullopt;
    qint64 magnitude = digits.toLongLong();
    for (; exponent > 0; --exponent)
        magnitude *= 10;
    const qint64 value = match.capturedView(1) == QLatin1String("-") ? -magnitude : magnitude;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(value);
}

std::optional<int> replyInteger(const QString &reply)
{
    const std::optional<QString> value = replyValue(reply);
    return value ? wholeNumber(*value) : std::nullopt;
}

std::optional<double> replyNumber(const QString &reply)
{
    const std::optional<QString> value = replyValue(reply);
    bool ok = false;
    const double number = value ? value->trimmed().toDouble(&ok) : 0.0;
    return ok && std::isfinite(number) ? std::optional<double>(number) : std::nullopt;
}

} // namespace

Widget::Widget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_Widget)
{
    ui->setupUi(this);
    // On a screen scaled above 100 %, the photo drawn at twice the size keeps it sharp: QIcon
    // picks "Tarvo318@2x.png" by itself.
    if (devicePixelRatio() > 1.0) {
        const QIcon photo(QStringLiteral(":/image/Tarvo318.png"));
        ui->lImage->setPixmap(photo.pixmap(ui->lImage->size(), devicePixelRatio()));
    }

    const QString octet = QStringLiteral("(?:[0-1]?[0-9]?[0-9]|2[0-4][0-9]|25[0-5])");
    const QRegularExpression address(QLatin1Char('^') + octet + QLatin1String("\\.") + octet
                                     + QLatin1String("\\.") + octet + QLatin1String("\\.") + octet
                                     + QLatin1Char('$'));
    ui->leTcpIpAdress->setValidator(new QRegularExpressionValidator(address, this));
    // Enter in the address field connects, as it would in a dialog.
    connect(ui->leTcpIpAdress, &QLineEdit::returnPressed, ui->pbConnect, &QPushButton::click);

    // For screen readers and automation: the address field has no name of its own, the photo
    // none at all.
    ui->lImage->setAccessibleName(QStringLiteral("Tarvo Model 318, front panel"));
    ui->leTcpIpAdress->setAccessibleName(QStringLiteral("Instrument address"));
    ui->leTcpIpAdress->setAccessibleDescription(
        QStringLiteral("IPv4 address in dotted-decimal form, such as 192.168.1.20; the "
                       "instrument is reached on port %1")
            .arg(instrumentPort));
    ui->pbConnect->setAccessibleDescription(
        QStringLiteral("Connects to the instrument at the address typed"));
    ui->pbUpdateData->setAccessibleDescription(
        QStringLiteral("Reads every value of both sources and all nine channels back from "
                       "the instrument"));

    connectPanels();
}

Widget::~Widget()
{
    // A connected socket, destroyed with the window, still signals its loss:
    // nothing must handle it, and no new attempt may start.
    if (socket)
        socket->disconnect(this);
    delete ui;
}

void Widget::connectPanels()
{
    frequencyWidgets = {ui->wFrequency1, ui->wFrequency2};
    for (int p = 0; p < frequencyWidgets.size(); ++p) {
        FrequencyWidget *panel = frequencyWidgets.at(p);
        panel->setChannelIndex(p + 1);
        connect(panel, &FrequencyWidget::getButtonCkicked, this, &Widget::getFrequency);
        connect(panel, &FrequencyWidget::setButtonCkicked, this, &Widget::setFrequency);
    }

    channelWidgets = {ui->wChannel0, ui->wChannel1, ui->wChannel2, ui->wChannel3, ui->wChannel4,
                      ui->wChannel5, ui->wChannel6, ui->wChannel7, ui->wChannel8};
    for (int p = 0; p < channelWidgets.size(); ++p) {
        ChannelWidget *panel = channelWidgets.at(p);
        panel->setChannelIndex(p);
        connect(panel, &ChannelWidget::getTriggerTypeClicked, this, &Widget::getTriggerTypeClicked);
        connect(panel, &ChannelWidget::setTriggerTypeClicked, this, &Widget::setTriggerTypeClicked);
        connect(panel, &ChannelWidget::getWidthClicked, this, &Widget::getWidthClicked);
        connect(panel, &ChannelWidget::setWidthClicked, this, &Widget::setWidthClicked);
        connect(panel, &ChannelWidget::getAmplitudeClicked, this, &Widget::getAmplitudeClicked);
        connect(panel, &ChannelWidget::setAmplitudeClicked, this, &Widget::setAmplitudeClicked);
        connect(panel, &ChannelWidget::getDelayClicked, this, &Widget::getDelayClicked);
        connect(panel, &ChannelWidget::setDelayClicked, this, &Widget::setDelayClicked);
    }
}

ChannelWidget *Widget::channelPanel(int channel) const
{
    return channel >= 0 && channel < channelWidgets.size() ? channelWidgets.at(channel) : nullptr;
}

void Widget::showConnected(bool connected)
{
    ui->gbChannels->setEnabled(connected);
    ui->gbFrequency->setEnabled(connected);
    ui->pbUpdateData->setEnabled(connected);
    ui->pbConnect->setEnabled(!connected);
    ui->leTcpIpAdress->setEnabled(!connected);
}

void Widget::on_pbConnect_clicked()
{
    // At most one socket lives at a time: release the one of an earlier attempt.
    if (socket) {
        socket->disconnect();
        socket->deleteLater();
    }
    socket = new QTcpSocket(this);
    sentSinceReply.clear();
    unansweredSets = 0;
    owedReplies.clear();
    identityReply.clear();
    if (!reconnecting)
        recentLosses.clear();
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->setReadBufferSize(maxReplyBytes);
    connect(socket, &QAbstractSocket::disconnected, this, [this] { connectionLost(); });

    socket->connectToHost(instrumentAddress(ui->leTcpIpAdress->text()), instrumentPort,
                          QIODevice::ReadWrite);
    if (connectedWithin(socket, waitMs)) {
        // Nagle + delayed ACK hold a second small line ~40 ms; Qt 6.4 loses it if set earlier.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        qDebug() << "Connected";
        showConnected(true);
        socket->readAll();
        const QString identity = query(QLatin1String(identityQuery), true);
        qDebug() << identity;
    } else {
        qDebug() << "error";
        qDebug() << socket->errorString();
        if (reconnecting)
            showConnected(false);
    }
}

// Runs on the socket's disconnected signal, possibly inside a wait of query().
void Widget::connectionLost()
{
    qDebug() << "disconnect";
    QTcpSocket *lost = socket;
    lost->disconnectFromHost();
    if (disconnectedWithin(lost, waitMs)) {
        qDebug("Disconnected!");
        lost->disconnect();
        lost->deleteLater();
        socket = nullptr;
    }

    if (reconnecting) {
        // The new attempt has lost its connection too: give the controls back
        // to the user rather than trying again and again.
        showConnected(false);
        return;
    }
    recentLosses.removeIf([](const QDeadlineTimer &forgotten) { return forgotten.hasExpired(); });
    recentLosses.append(QDeadlineTimer(lossWindowMs));
    if (recentLosses.size() >= lossesToStop) {
        qDebug("Reconnecting stopped: the connection was lost %d times within %d s",
               int(recentLosses.size()), lossWindowMs / 1000);
        showConnected(false);
        return;
    }
    // Try again from the event loop, once the wait that noticed the loss has
    // returned: an attempt made in here would nest inside that wait, and an
    // instrument that accepts and closes at once would nest them without end.
    reconnectPending = true;
    QMetaObject::invokeMethod(this, &Widget::reconnect, Qt::QueuedConnection);
}

void Widget::reconnect()
{
    if (!std::exchange(reconnectPending, false))
        return;
    reconnecting = true;
    on_pbConnect_clicked();
    reconnecting = false;
}

void Widget::closeEvent(QCloseEvent *event)
{
    qDebug() << "close";
    reconnectPending = false;
    if (socket) {
        socket->disconnect();
        socket->disconnectFromHost();
        if (disconnectedWithin(socket, waitMs)) {
            qDebug("Disconnected!");
            socket->deleteLater();
            socket = nullptr;
        }
    }
    QWidget::closeEvent(event);
}

// Collects lines until the late-reply wait that follows `replyDeadline` ends, and returns true
// with the first that can be the reply to a query about `target` ("T3") in `line`; the others are
// dropped and logged. Until `replyDeadline` only a line end ends a line. From then on, text without
// one is taken as a line too, once the instrument has paused: some send no line end at all, and
// a reply still coming in byte by byte is not cut short. Returns false with what has come of an
// unfinished line, and, `untilSettled`, as soon as no read-back is owed any more.
// `otherTargetSeen` tells whether a reply about another source or channel came.
bool Widget::collectReply(QTcpSocket *link, QByteArrayView target, QByteArray &line,
                          qint64 &dropped, QDeadlineTimer replyDeadline, bool untilSettled,
                          bool &otherTargetSeen)
{
    const QDeadlineTimer lateDeadline = replyDeadline + waitMs;
    QDeadlineTimer paused = QDeadlineTimer::current(); // when the instrument counts as paused
    for (;;) {
        if (link->bytesAvailable() > 0) {
            paused = QDeadlineTimer(pauseMs);
            lastQueryUnheard = false;
        }
        const bool lineEnded = takeLine(link, line, dropped);
        const bool unfinished = !line.isEmpty() && replyDeadline.hasExpired();
        if (lineEnded || (unfinished && paused.hasExpired())) {
            const Incoming incoming = classifyIncoming(line, target, sentSinceReply, unansweredSets,
                                                       owedReplies, identityReply);
            if (incoming == Incoming::Reply)
                return true;
            if (incoming == Incoming::SetAnswer)
                --unansweredSets;
            if (incoming == Incoming::OtherTarget)
                otherTargetSeen = true;
            if (incoming == Incoming::LateIdentity)
                settleOwed(owedReplies);
            if (incoming == Incoming::LateReply || incoming == Incoming::LateIdentity)
                qDebug() << "late, discarded:" << QString::fromUtf8(line);
            else
                logDiscarded(line);
            line.clear();
            if (untilSettled && !readBackOwed(owedReplies))
                return false;
            continue;
        }
        if (lateDeadline.hasExpired() || link->state() != QAbstractSocket::ConnectedState)
            return false;
        QDeadlineTimer wakeUp = replyDeadline.hasExpired() ? lateDeadline : replyDeadline;
        if (unfinished)
            wakeUp = qMin(wakeUp, paused);
        link->waitForReadyRead(int(wakeUp.remainingTime()));
    }
}

// Takes in what the instrument sent before a query goes out, which cannot be that query's reply,
// and returns whether anything came. A reply among it to an owed identity query settles what was
// owed before that query.
bool Widget::discardWaiting(QTcpSocket *link)
{
    // With no event loop running, a zero wait pulls in what the system already holds.
    link->waitForReadyRead(0);
    const QByteArray before = link->readAll();
    logDiscarded(before);
    QByteArrayView rest = before;
    for (qsizetype length = lineLength(rest); length >= 0; length = lineLength(rest)) {
        if (classifyIncoming(rest.first(length), {}, sentSinceReply, unansweredSets, owedReplies,
                             identityReply)
            == Incoming::LateIdentity)
            settleOwed(owedReplies);
        rest = rest.sliced(length);
    }
    return !before.isEmpty();
}

// Asks for the identity until no reply owed to an earlier read-back can still come: the
// instrument answers in order, so the reply to an identity query settles everything asked before
// it. A try that settles only an older identity query has got closer and is followed by another;
// one that settles nothing ends it. Returns whether the instrument sent anything at all.
bool Widget::resynchronise()
{
    bool heard = false;
    for (;;) {
        const qsizetype owedBefore = owedReplies.size();
        query(QLatin1String(identityQuery), true);
        heard = heard || !lastQueryUnheard;
        if (!readBackOwed(owedReplies) || owedReplies.size() > owedBefore || !socket
            || socket->state() != QAbstractSocket::ConnectedState)
            return heard;
    }
}

QString Widget::query(const QString &command, bool waitForReply)
{
    // The lost-connection handler may replace `socket` during a wait below;
    // this exchange stays on the socket it started with.
    const QPointer<QTcpSocket> link = socket;
    lastQueryUnheard = false;
    lastQueryHeldBack = false;
    if (!link || link->state() != QAbstractSocket::ConnectedState)
        return QString();

    const QString line = command + QLatin1String("\r\n");
    const QByteArray bytes = line.toLocal8Bit();
    if (waitForReply) {
        // Whatever the instrument sent before this query (an answer to a set
        // line, a late reply) must not be read as its reply.
        const bool heardBefore = discardWaiting(link);
        // A reply that an earlier read-back still owes would pass for this one's if it named
        // the same channel: the instrument must first show that it has nothing more to send.
        if (link->state() == QAbstractSocket::ConnectedState && !isIdentityQuery(bytes)
            && readBackOwed(owedReplies)) {
            const bool heardResync = resynchronise();
            if (link->state() == QAbstractSocket::ConnectedState && readBackOwed(owedReplies)) {
                qDebug() << "not sent, a reply to an earlier query may still come:" << line;
                lastQueryHeldBack = true;
                lastQueryUnheard = !heardBefore && !heardResync;
                return QString();
            }
        }
        if (link->state() != QAbstractSocket::ConnectedState)
            return QString();
        // Anything at all, even what cannot be the reply, shows the instrument is still there.
        lastQueryUnheard = !heardBefore;
    }

    qDebug() << "query:" << line;
    link->write(bytes);
    // Hands the line to the system at once; the wait below then has nothing
    // left to do unless the system could not take it all.
    link->flush();
    writtenWithin(link, waitMs);
    sentSinceReply.append(bytes);
    if (sentSinceReply.size() > rememberedLines)
        sentSinceReply.removeFirst();
    if (!waitForReply) {
        ++unansweredSets;
        return QString();
    }

    // What the query asks about, "T3" of "WIDTH? T3"; nothing for "*IDN?".
    const qsizetype space = bytes.indexOf(' ');
    const QByteArrayView target =
        space < 0 ? QByteArrayView() : QByteArrayView(bytes).sliced(space + 1);
    // A reply that comes after the reply wait, within the late-reply wait that follows, is still
    // this query's: taken now, it reaches its own control instead of waiting in the socket for
    // the next query. What comes later is owed: it is not taken for another query's reply.
    QByteArray reply;
    qint64 dropped = 0;
    bool otherTargetSeen = false;
    const bool resynchronising = isIdentityQuery(bytes) && readBackOwed(owedReplies);
    const bool replied = collectReply(link, target, reply, dropped, QDeadlineTimer(waitMs),
                                      resynchronising, otherTargetSeen);
    if (link->state() != QAbstractSocket::ConnectedState)
        lastQueryUnheard = false; // lost, not silent: the remaining lines are not sent anyway
    if (replied) {
        // Whatever was asked before has been answered, or never will be.
        sentSinceReply.clear();
        unansweredSets = 0;
        owedReplies.clear();
        // Given in answer to the identity query after connecting, the identity marks the
        // instrument's place later on, when replies come too late to be told apart.
        if (isIdentityQuery(bytes) && !resynchronising && !targetNamed(firstPiece(reply)))
            identityReply = reply.trimmed();
    } else {
        logDiscarded(std::exchange(reply, QByteArray()));
        // With no read-back owed before it, a reply about another source or channel was this
        // query's own, if a wrong one.
        if (!otherTargetSeen)
            owedReplies.append(bytes);
    }
    if (dropped > 0)
        qDebug() << "overflow:" << dropped;

    const QString answer = QString::fromUtf8(reply);
    qDebug() << "answer:" << answer;
    return answer;
}

void Widget::setFrequency(int channel, long value)
{
    query(QStringLiteral("FREQ F%1,%2").arg(channel).arg(value), false);
}

void Widget::getFrequency(int channel)
{
    const std::optional<int> value =
        replyInteger(query(QStringLiteral("FREQ? F%1").arg(channel), true));
    if (value && channel >= 1 && channel <= frequencyWidgets.size())
        frequencyWidgets.at(channel - 1)->setFrequency(*value);
}

void Widget::setTriggerTypeClicked(int channel, int value)
{
    const bool known = value >= 0 && value < int(std::size(triggerKeywords));
    const QString keyword = known ? QLatin1String(triggerKeywords[value]) : QString();
    query(QStringLiteral("TRIG T%1,%2").arg(channel).arg(keyword), false);
}

void Widget::getTriggerTypeClicked(int channel)
{
    const QString reply = query(QStringLiteral("TRIG? T%1").arg(channel), true);
    qDebug() << reply;
    const std::optional<QString> value = replyValue(reply);
    ChannelWidget *panel = channelPanel(channel);
    if (!value || !panel)
        return;
    // Each keyword found sets its type, so with several the last one wins.
    for (int type = 0; type < int(std::size(triggerKeywords)); ++type) {
        if (value->contains(QLatin1String(triggerKeywords[type])))
            panel->setTriggerType(type);
    }
}

void Widget::setWidthClicked(int channel, long value)
{
    query(QStringLiteral("WIDTH T%1,%2").arg(channel).arg(value), false);
}

void Widget::getWidthClicked(int channel)
{
    const std::optional<int> value =
        replyInteger(query(QStringLiteral("WIDTH? T%1").arg(channel), true));
    if (ChannelWidget *panel = channelPanel(channel); value && panel)
        panel->setWidth(*value);
}

void Widget::setAmplitudeClicked(int channel, double value)
{
    // The instrument takes the amplitude in millivolts.
    query(QStringLiteral("AMPL T%1,%2").arg(channel).arg(qRound(value * 1000.0)), false);
}

void Widget::getAmplitudeClicked(int channel)
{
    // ...but answers in volts.
    const std::optional<double> value =
        replyNumber(query(QStringLiteral("AMPL? T%1").arg(channel), true));
    if (ChannelWidget *panel = channelPanel(channel); value && panel)
        panel->setAmplitude(*value);
}

void Widget::setDelayClicked(int channel, double value)
{
    const QString delay = QString::number(value, 'g', QLocale::FloatingPointShortest);
    query(QStringLiteral("DELAY T%1,%2").arg(channel).arg(delay), false);
}

void Widget::getDelayClicked(int channel)
{
    const std::optional<double> value =
        replyNumber(query(QStringLiteral("DELAY? T%1").arg(channel), true));
    if (ChannelWidget *panel = channelPanel(channel); value && panel)
        panel->setDelay(*value);
}

void Widget::on_pbUpdateData_clicked()
{
    using ReadBack = void (Widget::*)(int);
    QList<std::pair<ReadBack, int>> readBacks = {{&Widget::getFrequency, 1},
                                                 {&Widget::getFrequency, 2}};
    for (int channel = 0; channel < channelWidgets.size(); ++channel) {
        readBacks << std::pair(&Widget::getAmplitudeClicked, channel)
                  << std::pair(&Widget::getWidthClicked, channel)
                  << std::pair(&Widget::getDelayClicked, channel)
                  << std::pair(&Widget::getTriggerTypeClicked, channel);
    }

    int unheardInARow = 0;
    for (qsizetype done = 0; done < readBacks.size();) {
        const auto [readBack, channel] = readBacks.at(done++);
        (this->*readBack)(channel);
        const int notSent = int(readBacks.size() - done) + (lastQueryHeldBack ? 1 : 0);
        // An instrument that answers, but only after the waits, would have each read-back wait
        // for the one before it: none of the rest could be taken.
        if (lastQueryHeldBack && !lastQueryUnheard) {
            qDebug("Update data stopped: the instrument answers later than the program waits, "
                   "%d not sent",
                   notSent);
            return;
        }
        unheardInARow = lastQueryUnheard ? unheardInARow + 1 : 0;
        if (unheardInARow == unheardReadBacksToStop && done < readBacks.size()) {
            qDebug("Update data stopped: no answer to %d read-backs in a row, %d not sent",
                   unheardInARow, notSent);
            return;
        }
    }
}

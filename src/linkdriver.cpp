// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "linkdriver.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QTcpSocket>

namespace {

constexpr quint16 instrumentPort = 4000;
constexpr int waitMs = 1000;

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

} // namespace

LinkDriver::LinkDriver(QObject *window)
    : window(window)
{
    clock.start();
}

LinkDriver::~LinkDriver()
{
    // A connected socket, destroyed with the window, still signals its loss:
    // nothing must handle it, and no new attempt may start.
    if (socket)
        socket->disconnect(this);
}

LinkEvent LinkDriver::event(LinkEvent::Kind kind) const
{
    LinkEvent event;
    event.kind = kind;
    event.at = clock.elapsed();
    event.up = socket && socket->state() == QAbstractSocket::ConnectedState;
    return event;
}

void LinkDriver::connectTo(const QString &typed)
{
    address = typed;
    dispatch(event(LinkEvent::ConnectPressed));
}

void LinkDriver::sendSet(const QString &line)
{
    LinkEvent set = event(LinkEvent::SetPressed);
    set.text = line;
    dispatch(set);
}

void LinkDriver::readBack(const QString &line, Control control)
{
    LinkEvent get = event(LinkEvent::GetPressed);
    get.text = line;
    get.controls = {control};
    dispatch(get);
}

void LinkDriver::updateData(const QList<QString> &lines, const QList<Control> &controls)
{
    LinkEvent update = event(LinkEvent::UpdatePressed);
    update.lines = lines;
    update.controls = controls;
    dispatch(update);
}

void LinkDriver::close()
{
    qDebug() << "close";
    dispatch(event(LinkEvent::Closing));
    if (socket) {
        socket->disconnect();
        socket->disconnectFromHost();
        if (disconnectedWithin(socket, waitMs)) {
            qDebug("Disconnected!");
            socket->deleteLater();
            socket = nullptr;
        }
    }
}

// Hands an event to the core and does what it asks, until it waits for nothing more.
void LinkDriver::dispatch(LinkEvent next)
{
    for (;;) {
        const QList<LinkAction> actions = core.handle(next);
        std::optional<LinkEvent> report;
        for (const LinkAction &action : actions) {
            if (std::optional<LinkEvent> result = perform(action))
                report = std::move(result);
        }
        if (!report)
            return;
        next = std::move(*report);
    }
}

std::optional<LinkEvent> LinkDriver::perform(const LinkAction &action)
{
    switch (action.kind) {
    case LinkAction::Log:
        qDebug().noquote() << action.text;
        break;
    case LinkAction::Connect:
        return openConnection(action.afresh);
    case LinkAction::ShowConnected:
        emit connectedChanged(action.connected);
        break;
    case LinkAction::Write: {
        // The lost-connection handler may release the socket during the wait; the core hears
        // of it before it goes on.
        const QPointer<QTcpSocket> link = socket;
        if (link) {
            link->write(action.bytes);
            // Hands the line to the system at once; the wait below then has nothing left to do
            // unless the system could not take it all.
            link->flush();
            writtenWithin(link, waitMs);
        }
        return event(LinkEvent::Written);
    }
    case LinkAction::WakeAt: {
        const QPointer<QTcpSocket> link = socket;
        // With no event loop running, a zero wait pulls in what the system already holds. Bytes
        // the link had no room for are still in the socket: no need to wait for more.
        const qint64 ms = qMax(action.minimumWaitMs, action.at - clock.elapsed());
        if (link && (ms == 0 || link->bytesAvailable() == 0))
            link->waitForReadyRead(int(ms));
        LinkEvent arrived = event(LinkEvent::BytesArrived);
        if (link)
            arrived.bytes = link->read(core.inboxRoom());
        return arrived;
    }
    case LinkAction::Show:
        emit valueRead(action.control, action.value, action.triggerType);
        break;
    case LinkAction::ReconnectLater:
        QMetaObject::invokeMethod(
            this, [this] { dispatch(event(LinkEvent::ReconnectDue)); }, Qt::QueuedConnection);
        break;
    }
    return std::nullopt;
}

LinkEvent LinkDriver::openConnection(bool afresh)
{
    if (afresh && socket) {
        // Closed by the program itself: not a lost connection.
        socket->disconnect(this);
        socket->abort();
    }
    // At most one socket lives at a time: release the one of an earlier attempt.
    if (socket) {
        socket->disconnect();
        socket->deleteLater();
    }
    socket = new QTcpSocket(window);
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->setReadBufferSize(LineFramer::maxLineBytes);
    connect(socket, &QAbstractSocket::disconnected, this, [this] { connectionLost(); });

    socket->connectToHost(instrumentAddress(address), instrumentPort, QIODevice::ReadWrite);
    if (!connectedWithin(socket, waitMs)) {
        LinkEvent failed = event(LinkEvent::ConnectFailed);
        failed.text = socket->errorString();
        return failed;
    }
    // Nagle + delayed ACK hold a second small line ~40 ms; Qt 6.4 loses it if set earlier.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->readAll();
    return event(LinkEvent::Connected);
}

// Runs on the socket's disconnected signal, possibly inside a wait of an exchange.
void LinkDriver::connectionLost()
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
    dispatch(event(LinkEvent::Lost));
}

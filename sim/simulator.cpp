// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "simulator.h"

#include "clientconnection.h"

#include <QTcpServer>
#include <QTcpSocket>

Simulator::Simulator(const SimulatorOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_instrument(options.numbers)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &Simulator::acceptConnections);
}

bool Simulator::listen(QString *errorText)
{
    if (m_server->listen(m_options.address, m_options.port))
        return true;
    if (errorText)
        *errorText = m_server->errorString();
    return false;
}

quint16 Simulator::serverPort() const
{
    return m_server->serverPort();
}

void Simulator::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        emit clientConnected();
        if (m_options.refuse) {
            if (m_options.verbose)
                qInfo().nospace() << qPrintable(socket->peerAddress().toString()) << ':'
                                  << socket->peerPort() << ": refused";
            socket->close();
            socket->deleteLater();
            continue;
        }
        auto *connection = new ClientConnection(socket, m_instrument, m_options,
                                                m_options.deviceServer ? &m_output : nullptr, this);
        connect(connection, &ClientConnection::lineReceived, this, &Simulator::lineReceived);
        connect(connection, &ClientConnection::replySent, this, &Simulator::replySent);
    }
}

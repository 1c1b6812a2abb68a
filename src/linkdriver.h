// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef LINKDRIVER_H
#define LINKDRIVER_H

#include "linkcore.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

QT_BEGIN_NAMESPACE
class QTcpSocket;
QT_END_NAMESPACE

// The link's one TCP connection: does what the link core asks (connect, write, wait) and tells
// it what happened, with the time. Every exchange blocks the caller, bounded by the core's waits:
// the window does not respond while it runs.
class LinkDriver : public QObject
{
    Q_OBJECT

public:
    // The sockets are the window's children, and go with it.
    explicit LinkDriver(QObject *window);
    ~LinkDriver() override;

    // `address`: the typed text; it is used again for every new attempt.
    void connectTo(const QString &address);
    void sendSet(const QString &line);
    void readBack(const QString &line, Control control);
    void updateData(const QList<QString> &lines, const QList<Control> &controls);
    // The window closes: the connection ends, and no new attempt follows.
    void close();

signals:
    void connectedChanged(bool connected);
    // `triggerType` for the trigger, `value` for the others.
    void valueRead(Control control, double value, int triggerType);

private:
    void dispatch(LinkEvent event);
    std::optional<LinkEvent> perform(const LinkAction &action);
    LinkEvent openConnection(bool afresh);
    void connectionLost();
    LinkEvent event(LinkEvent::Kind kind) const;

    LinkCore core;
    QPointer<QTcpSocket> socket;
    QObject *window;
    QString address;
    QElapsedTimer clock;
};

#endif // LINKDRIVER_H

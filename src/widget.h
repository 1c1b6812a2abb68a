// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef WIDGET_H
#define WIDGET_H

#include <QByteArrayList>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QList>
#include <QPointer>
#include <QWidget>

QT_BEGIN_NAMESPACE
class QTcpSocket;
class Ui_Widget;
QT_END_NAMESPACE

class ChannelWidget;
class FrequencyWidget;

// The main window: the connection to the instrument and the commands it understands.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // Sends one command line and, when asked, returns the instrument's reply line.
    QString query(const QString &command, bool waitForReply);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    // The form connects these two to its buttons by name.
    void on_pbConnect_clicked(); // clazy:exclude=connect-by-name
    void getFrequency(int channel);
    void setFrequency(int channel, long value);
    void setTriggerTypeClicked(int channel, int value);
    void getTriggerTypeClicked(int channel);
    void setWidthClicked(int channel, long value);
    void getWidthClicked(int channel);
    void setAmplitudeClicked(int channel, double value);
    void getAmplitudeClicked(int channel);
    void setDelayClicked(int channel, double value);
    void getDelayClicked(int channel);
    void on_pbUpdateData_clicked(); // clazy:exclude=connect-by-name

private:
    void connectPanels();
    void showConnected(bool connected);
    void connectionLost();
    void reconnect();
    ChannelWidget *channelPanel(int channel) const;
    bool discardWaiting(QTcpSocket *link);
    bool resynchronise();
    bool collectReply(QTcpSocket *link, QByteArrayView target, QByteArray &line, qint64 &dropped,
                      QDeadlineTimer replyDeadline, bool untilSettled, bool &otherTargetSeen);

    Ui_Widget *ui;
    QPointer<QTcpSocket> socket;
    QList<FrequencyWidget *> frequencyWidgets;
    QList<ChannelWidget *> channelWidgets;
    bool reconnectPending = false; // a new attempt after a lost connection is queued
    bool reconnecting = false;     // that attempt is under way, identity exchange included
    // When the connection was lost lately; a peer that keeps closing it is not called again and
    // again.
    QList<QDeadlineTimer> recentLosses;
    // Sent on this connection since a reply was last taken: an echo of one of these lines, or
    // the answer to one of these set lines, may still come before the next reply.
    QByteArrayList sentSinceReply;
    int unansweredSets = 0;
    // Queries whose waits ended without their reply, oldest first: the instrument may still send
    // it. Read-backs, and identity queries, whose reply marks where the instrument has got to.
    QByteArrayList owedReplies;
    QByteArray identityReply; // as the instrument gave it on this connection, if it did
    // The last query went out, waited for its reply, and not one byte came back in that time.
    bool lastQueryUnheard = false;
    // The last read-back was not sent: a reply owed by an earlier one may still come.
    bool lastQueryHeldBack = false;
};

#endif // WIDGET_H

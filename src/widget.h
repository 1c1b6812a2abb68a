// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef WIDGET_H
#define WIDGET_H

#include <QDeadlineTimer>
#include <QList>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>

QT_BEGIN_NAMESPACE
class QTcpSocket;
class Ui_Widget;
QT_END_NAMESPACE

class ChannelWidget;
class FrequencyWidget;
class ReplyLedger;

// The main window: the connection to the instrument and the commands it understands.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // What became of one command line.
    struct Exchange
    {
        enum Outcome {
            Replied,    // `reply` holds the reply line
            Unanswered, // no reply within the waits: the instrument may still send it
            HeldBack,   // not sent: a reply to an earlier query may still come
            NotSent,    // no connection, or it was lost
        };
        Outcome outcome = NotSent;
        QString reply;
        bool heard = false; // the instrument sent something, even if not the reply
    };

    // Sends one command line and, when asked, waits for the instrument's reply line.
    Exchange query(const QString &command, bool waitForReply);

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
    enum class Quantity { Frequency, Trigger, Width, Amplitude, Delay };

    void connectPanels();
    void showConnected(bool connected);
    void openConnection();
    void connectionLost();
    void reconnect();
    bool connectAfresh();
    ChannelWidget *channelPanel(int channel) const;
    // `press`: the first read-back of a button press.
    Exchange readBack(Quantity quantity, int channel, bool press = true);
    bool takeIn(QTcpSocket *link, qint64 &dropped, bool &heard);
    bool takeWaiting(QTcpSocket *link);
    enum class Resync { Settled, Silent, Late, Unsure };
    Resync resynchronise(bool &heard);
    std::optional<QByteArray> collectReply(QTcpSocket *link, qint64 &dropped, bool &heard,
                                           bool untilSettled);

    Ui_Widget *ui;
    QPointer<QTcpSocket> socket;
    QList<FrequencyWidget *> frequencyWidgets;
    QList<ChannelWidget *> channelWidgets;
    bool reconnectPending = false; // a new attempt after a lost connection is queued
    bool reconnecting = false;     // that attempt is under way, identity exchange included
    // When the connection was lost lately; a peer that keeps closing it is not called again and
    // again.
    QList<QDeadlineTimer> recentLosses;
    // What the instrument may still send on the current connection.
    std::unique_ptr<ReplyLedger> ledger;
    // Where the instrument's place cannot be found, a press may connect afresh.
    int freshConnectionsLeft = 0;
    // Update data gives the window back by this time: no wait of the link goes past it.
    QDeadlineTimer sweepDeadline{QDeadlineTimer::Forever};
};

#endif // WIDGET_H

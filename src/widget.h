// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef WIDGET_H
#define WIDGET_H

#include <QList>
#include <QWidget>

#include <memory>

QT_BEGIN_NAMESPACE
class Ui_Widget;
QT_END_NAMESPACE

class ChannelWidget;
class FrequencyWidget;
class LinkDriver;
struct Control;

// The main window: the controls, and the commands each one sends to the instrument.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

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
    void showValue(Control control, double value, int triggerType);
    ChannelWidget *channelPanel(int channel) const;

    Ui_Widget *ui;
    QList<FrequencyWidget *> frequencyWidgets;
    QList<ChannelWidget *> channelWidgets;
    std::unique_ptr<LinkDriver> link;
};

#endif // WIDGET_H

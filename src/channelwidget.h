// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef CHANNELWIDGET_H
#define CHANNELWIDGET_H

#include <QWidget>

QT_BEGIN_NAMESPACE
class Ui_ChannelWidget;
QT_END_NAMESPACE

// The controls of one output channel: trigger source, width, amplitude and delay.
class ChannelWidget : public QWidget
{
    Q_OBJECT

public:
    explicit ChannelWidget(QWidget *parent = nullptr);
    ~ChannelWidget() override;

    void setChannelIndex(int index);
    void setTriggerType(int type);
    void setWidth(long value);
    void setAmplitude(double value);
    void setDelay(double value);

signals:
    void setTriggerTypeClicked(int channel, int value);
    void getTriggerTypeClicked(int channel);
    void setWidthClicked(int channel, long value);
    void getWidthClicked(int channel);
    void setAmplitudeClicked(int channel, double value);
    void getAmplitudeClicked(int channel);
    void setDelayClicked(int channel, double value);
    void getDelayClicked(int channel);

private:
    void requestSetDelay();
    void nameControls();

    Ui_ChannelWidget *ui;
    int channelIndex = 0;
    double shownDelay = 0.0; // the value whose text setDelay (or the form) last wrote
};

#endif // CHANNELWIDGET_H

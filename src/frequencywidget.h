// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef FREQUENCYWIDGET_H
#define FREQUENCYWIDGET_H

#include <QWidget>

QT_BEGIN_NAMESPACE
class Ui_FrequencyWidget;
QT_END_NAMESPACE

// One row of controls for one of the instrument's two frequency sources.
class FrequencyWidget : public QWidget
{
    Q_OBJECT

public:
    explicit FrequencyWidget(QWidget *parent = nullptr);
    ~FrequencyWidget() override;

    void setChannelIndex(int index);
    void setFrequency(long value);

signals:
    void setButtonCkicked(int channel, long value);
    void getButtonCkicked(int channel);

private:
    void nameControls();

    Ui_FrequencyWidget *ui;
    int channelIndex = 1;
};

#endif // FREQUENCYWIDGET_H

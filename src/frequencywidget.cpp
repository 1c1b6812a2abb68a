// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "frequencywidget.h"
#include "ui_frequencywidget.h"

#include <algorithm>

FrequencyWidget::FrequencyWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_FrequencyWidget)
{
    ui->setupUi(this);
    nameControls();
    ui->sbFrequency->setAccessibleDescription(QStringLiteral("Whole hertz from %1 to %2")
                                                  .arg(ui->sbFrequency->minimum())
                                                  .arg(ui->sbFrequency->maximum()));

    connect(ui->pbSet, &QPushButton::clicked, this,
            [this] { emit setButtonCkicked(channelIndex, ui->sbFrequency->value()); });
    connect(ui->pbGet, &QPushButton::clicked, this,
            [this] { emit getButtonCkicked(channelIndex); });
}

FrequencyWidget::~FrequencyWidget()
{
    delete ui;
}

void FrequencyWidget::setChannelIndex(int index)
{
    channelIndex = index;
    ui->lFrequency->setText(QStringLiteral("Frequency %1 (1-1000000 Hz)").arg(index));
    nameControls();
}

// Both sources' rows are labelled "Set" and "Get": screen readers and automation tell them
// apart by these names, which say the source ("Set frequency 2").
void FrequencyWidget::nameControls()
{
    ui->sbFrequency->setAccessibleName(QStringLiteral("Frequency %1 (Hz)").arg(channelIndex));
    ui->pbSet->setAccessibleName(QStringLiteral("Set frequency %1").arg(channelIndex));
    ui->pbGet->setAccessibleName(QStringLiteral("Get frequency %1").arg(channelIndex));
}

void FrequencyWidget::setFrequency(long value)
{
    // Clamp before narrowing: long is 64 bits wide on Linux (32 on Windows).
    QSpinBox *box = ui->sbFrequency;
    box->setValue(int(std::clamp<long>(value, box->minimum(), box->maximum())));
}

// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "channelwidget.h"
#include "ui_channelwidget.h"

#include <QDebug>
#include <QDoubleValidator>

#include <algorithm>
#include <cmath>

namespace {
// The shortest text that reads back as exactly the same number.
QString delayText(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}
} // namespace

ChannelWidget::ChannelWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_ChannelWidget)
{
    ui->setupUi(this);
    ui->leDelay->setValidator(new QDoubleValidator(this));

    connect(ui->pbSetDelay, &QPushButton::clicked, this, &ChannelWidget::requestSetDelay);
    connect(ui->pbGetDelay, &QPushButton::clicked, this,
            [this] { emit getDelayClicked(channelIndex); });
    connect(ui->pbSetAmplitude, &QPushButton::clicked, this,
            [this] { emit setAmplitudeClicked(channelIndex, ui->dsbAmplitude->value()); });
    connect(ui->pbGetAmplitude, &QPushButton::clicked, this,
            [this] { emit getAmplitudeClicked(channelIndex); });
    connect(ui->pbSetWidth, &QPushButton::clicked, this,
            [this] { emit setWidthClicked(channelIndex, ui->sbWidth->value()); });
    connect(ui->pbGetWidth, &QPushButton::clicked, this,
            [this] { emit getWidthClicked(channelIndex); });
    connect(ui->pbSetTrigger, &QPushButton::clicked, this,
            [this] { emit setTriggerTypeClicked(channelIndex, ui->cbTrigger->currentIndex()); });
    connect(ui->pbGetTrigger, &QPushButton::clicked, this,
            [this] { emit getTriggerTypeClicked(channelIndex); });
}

ChannelWidget::~ChannelWidget()
{
    delete ui;
}

void ChannelWidget::setChannelIndex(int index)
{
    channelIndex = index;

    // Channel 0 (T0) has no amplitude and no delay of its own.
    const bool visible = index != 0;
    const std::initializer_list<QWidget *> rows = {
        ui->lAmplitude, ui->dsbAmplitude, ui->pbSetAmplitude, ui->pbGetAmplitude,
        ui->lDelay,     ui->leDelay,      ui->pbSetDelay,     ui->pbGetDelay,
    };
    for (QWidget *row : rows)
        row->setVisible(visible);
    ui->sbWidth->setValue(index == 0 ? 500 : 200);
}

void ChannelWidget::setTriggerType(int type)
{
    ui->cbTrigger->setCurrentIndex(type);
}

void ChannelWidget::setWidth(long value)
{
    // Clamp before narrowing: long is 64 bits wide on Linux (32 on Windows).
    QSpinBox *box = ui->sbWidth;
    box->setValue(int(std::clamp<long>(value, box->minimum(), box->maximum())));
}

void ChannelWidget::setAmplitude(double value)
{
    ui->dsbAmplitude->setValue(value);
}

void ChannelWidget::setDelay(double value)
{
    shownDelay = value;
    ui->leDelay->setText(delayText(value));
}

void ChannelWidget::requestSetDelay()
{
    const QString text = ui->leDelay->text();
    if (text == delayText(shownDelay)) {
        emit setDelayClicked(channelIndex, shownDelay);
        return;
    }

    // The validator lets the user type in their own locale ("1,5" in German);
    // the C locale ("1500.5", "1e3") is accepted as well.
    const auto *validator = qobject_cast<const QDoubleValidator *>(ui->leDelay->validator());
    bool ok = false;
    double value = validator->locale().toDouble(text, &ok);
    if (!ok)
        value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        qDebug() << "not a number:" << text;
        return;
    }
    emit setDelayClicked(channelIndex, value);
}

// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "widget.h"
#include "linkdriver.h"
#include "ui_widget.h"
#include "wiregrammar.h"

#include <QCloseEvent>
#include <QIcon>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

#include <iterator>

namespace {

constexpr quint16 instrumentPort = 4000;

// The read-back of each quantity.
QString queryLine(Quantity quantity, int channel)
{
    static const char *const templates[] = {"FREQ? F%1", "TRIG? T%1", "WIDTH? T%1", "AMPL? T%1",
                                            "DELAY? T%1"};
    return QString::fromLatin1(templates[int(quantity)]).arg(channel);
}

} // namespace

Widget::Widget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_Widget)
    , link(std::make_unique<LinkDriver>(this))
{
    ui->setupUi(this);
    // On a screen scaled above 100 %, the photo drawn at twice the size keeps it sharp: QIcon
    // picks "Tarvo318@2x.png" by itself.
    if (devicePixelRatio() > 1.0) {
        const QIcon photo(QStringLiteral(":/image/Tarvo318.png"));
        ui->lImage->setPixmap(photo.pixmap(ui->lImage->size(), devicePixelRatio()));
    }

    const QString octet = QStringLiteral("(?:[0-1]?[0-9]?[0-9]|2[0-4][0-9]|25[0-5])");
    const QRegularExpression address(QLatin1Char('^') + octet + QLatin1String("\\.") + octet
                                     + QLatin1String("\\.") + octet + QLatin1String("\\.") + octet
                                     + QLatin1Char('$'));
    ui->leTcpIpAdress->setValidator(new QRegularExpressionValidator(address, this));
    // Enter in the address field connects, as it would in a dialog.
    connect(ui->leTcpIpAdress, &QLineEdit::returnPressed, ui->pbConnect, &QPushButton::click);

    // For screen readers and automation: the address field has no name of its own, the photo
    // none at all.
    ui->lImage->setAccessibleName(QStringLiteral("Tarvo Model 318, front panel"));
    ui->leTcpIpAdress->setAccessibleName(QStringLiteral("Instrument address"));
    ui->leTcpIpAdress->setAccessibleDescription(
        QStringLiteral("IPv4 address in dotted-decimal form, such as 192.168.1.20; the "
                       "instrument is reached on port %1")
            .arg(instrumentPort));
    ui->pbConnect->setAccessibleDescription(
        QStringLiteral("Connects to the instrument at the address typed"));
    ui->pbUpdateData->setAccessibleDescription(
        QStringLiteral("Reads every value of both sources and all nine channels back from "
                       "the instrument"));

    connectPanels();
    connect(link.get(), &LinkDriver::connectedChanged, this, &Widget::showConnected);
    connect(link.get(), &LinkDriver::valueRead, this, &Widget::showValue);
}

Widget::~Widget()
{
    delete ui;
}

void Widget::connectPanels()
{
    frequencyWidgets = {ui->wFrequency1, ui->wFrequency2};
    for (int p = 0; p < frequencyWidgets.size(); ++p) {
        FrequencyWidget *panel = frequencyWidgets.at(p);
        panel->setChannelIndex(p + 1);
        connect(panel, &FrequencyWidget::getButtonCkicked, this, &Widget::getFrequency);
        connect(panel, &FrequencyWidget::setButtonCkicked, this, &Widget::setFrequency);
    }

    channelWidgets = {ui->wChannel0, ui->wChannel1, ui->wChannel2, ui->wChannel3, ui->wChannel4,
                      ui->wChannel5, ui->wChannel6, ui->wChannel7, ui->wChannel8};
    for (int p = 0; p < channelWidgets.size(); ++p) {
        ChannelWidget *panel = channelWidgets.at(p);
        panel->setChannelIndex(p);
        connect(panel, &ChannelWidget::getTriggerTypeClicked, this, &Widget::getTriggerTypeClicked);
        connect(panel, &ChannelWidget::setTriggerTypeClicked, this, &Widget::setTriggerTypeClicked);
        connect(panel, &ChannelWidget::getWidthClicked, this, &Widget::getWidthClicked);
        connect(panel, &ChannelWidget::setWidthClicked, this, &Widget::setWidthClicked);
        connect(panel, &ChannelWidget::getAmplitudeClicked, this, &Widget::getAmplitudeClicked);
        connect(panel, &ChannelWidget::setAmplitudeClicked, this, &Widget::setAmplitudeClicked);
        connect(panel, &ChannelWidget::getDelayClicked, this, &Widget::getDelayClicked);
        connect(panel, &ChannelWidget::setDelayClicked, this, &Widget::setDelayClicked);
    }
}

ChannelWidget *Widget::channelPanel(int channel) const
{
    return channel >= 0 && channel < channelWidgets.size() ? channelWidgets.at(channel) : nullptr;
}

void Widget::showConnected(bool connected)
{
    ui->gbChannels->setEnabled(connected);
    ui->gbFrequency->setEnabled(connected);
    ui->pbUpdateData->setEnabled(connected);
    ui->pbConnect->setEnabled(!connected);
    ui->leTcpIpAdress->setEnabled(!connected);
}

void Widget::showValue(Control control, double value, int triggerType)
{
    const int channel = control.channel;
    if (control.quantity == Quantity::Frequency) {
        if (channel >= 1 && channel <= frequencyWidgets.size())
            frequencyWidgets.at(channel - 1)->setFrequency(long(value));
        return;
    }
    ChannelWidget *panel = channelPanel(channel);
    if (!panel)
        return;
    switch (control.quantity) {
    case Quantity::Trigger:
        panel->setTriggerType(triggerType);
        break;
    case Quantity::Width:
        panel->setWidth(long(value));
        break;
    case Quantity::Amplitude:
        panel->setAmplitude(value);
        break;
    case Quantity::Delay:
        panel->setDelay(value);
        break;
    case Quantity::Frequency:
        break;
    }
}

void Widget::on_pbConnect_clicked()
{
    link->connectTo(ui->leTcpIpAdress->text());
}

void Widget::closeEvent(QCloseEvent *event)
{
    link->close();
    QWidget::closeEvent(event);
}

void Widget::setFrequency(int channel, long value)
{
    link->sendSet(QStringLiteral("FREQ F%1,%2").arg(channel).arg(value));
}

void Widget::getFrequency(int channel)
{
    link->readBack(queryLine(Quantity::Frequency, channel), {Quantity::Frequency, channel});
}

void Widget::setTriggerTypeClicked(int channel, int value)
{
    const bool known = value >= 0 && value < int(std::size(WireGrammar::triggerKeywords));
    const QString keyword = known ? QLatin1String(WireGrammar::triggerKeywords[value]) : QString();
    link->sendSet(QStringLiteral("TRIG T%1,%2").arg(channel).arg(keyword));
}

void Widget::getTriggerTypeClicked(int channel)
{
    link->readBack(queryLine(Quantity::Trigger, channel), {Quantity::Trigger, channel});
}

void Widget::setWidthClicked(int channel, long value)
{
    link->sendSet(QStringLiteral("WIDTH T%1,%2").arg(channel).arg(value));
}

void Widget::getWidthClicked(int channel)
{
    link->readBack(queryLine(Quantity::Width, channel), {Quantity::Width, channel});
}

void Widget::setAmplitudeClicked(int channel, double value)
{
    // The instrument takes the amplitude in millivolts.
    link->sendSet(QStringLiteral("AMPL T%1,%2").arg(channel).arg(qRound(value * 1000.0)));
}

void Widget::getAmplitudeClicked(int channel)
{
    link->readBack(queryLine(Quantity::Amplitude, channel), {Quantity::Amplitude, channel});
}

void Widget::setDelayClicked(int channel, double value)
{
    const QString delay = QString::number(value, 'g', QLocale::FloatingPointShortest);
    link->sendSet(QStringLiteral("DELAY T%1,%2").arg(channel).arg(delay));
}

void Widget::getDelayClicked(int channel)
{
    link->readBack(queryLine(Quantity::Delay, channel), {Quantity::Delay, channel});
}

void Widget::on_pbUpdateData_clicked()
{
    QList<Control> controls = {{Quantity::Frequency, 1}, {Quantity::Frequency, 2}};
    for (int channel = 0; channel < channelWidgets.size(); ++channel) {
        for (Quantity quantity :
             {Quantity::Amplitude, Quantity::Width, Quantity::Delay, Quantity::Trigger})
            controls.append({quantity, channel});
    }
    QList<QString> lines;
    for (const Control &control : controls)
        lines.append(queryLine(control.quantity, control.channel));
    link->updateData(lines, controls);
}

// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "channelwidget.h"
#include "ui_channelwidget.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QDebug>
#include <QDoubleValidator>
#include <QOperatingSystemVersion>

#include <algorithm>
#include <cmath>
#include <optional>

namespace {
// The delay field shows a delay in the C form, as the instrument writes it ("1.234", "1e+06"), on
// every desktop: that form reads back on all of them, where some desktops' own forms do not
// ("1×10^+06" in Swedish, Arabic digits). It takes that form or the desktop's own ("1,5" on a
// German desktop), and never a group separator. A delay has none, and where "." groups
// thousands (German, Dutch, Italian...) it would make "1.234" a thousand times larger than the
// 1.234 the field shows.
QLocale delayLocale()
{
    QLocale locale;
    locale.setNumberOptions(QLocale::RejectGroupSeparator);
    return locale;
}

// The shortest text that reads back as exactly the same number.
QString delayText(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// What the user typed or left in the field: the C form, or the desktop's without groups. No
// text reads as a number in one and as another number in the other.
std::optional<double> delayValue(const QString &text)
{
    bool ok = false;
    double value = text.toDouble(&ok);
    if (!ok)
        value = delayLocale().toDouble(text, &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// Lets through, keystroke by keystroke, what delayValue reads: the C form or the desktop's.
class DelayValidator : public QDoubleValidator
{
public:
    explicit DelayValidator(QObject *parent)
        : QDoubleValidator(parent)
    {
        setLocale(delayLocale());
    }

    State validate(QString &input, int &pos) const override
    {
        const State own = QDoubleValidator::validate(input, pos);
        if (own == Acceptable)
            return own;
        QLocale cForm = QLocale::c();
        cForm.setNumberOptions(QLocale::RejectGroupSeparator); // the C form groups with ","
        QDoubleValidator c;
        c.setLocale(cForm);
        return std::max(own, c.validate(input, pos));
    }
};

// Qt names a combo box on Linux by the item it shows, whatever its accessible name, and leaves
// its purpose to a label's buddy, which the trigger rows do not have: screen readers would hear
// "OFF" nine times over. Here a combo box is called by its accessible name ("T3 trigger") on
// every system, as Qt does on Windows, and the item it shows is its value.
//
// Orca takes a combo box's value from the item its Selection interface (or its list's) says is
// selected, or from its Text interface. Qt 6.4 offers no Selection through AT-SPI, so on Linux
// the box also shows the item as read-only text: Orca then says "T3 trigger combo box IN2"
// rather than leaving the value out. Windows keeps the value alone: UI Automation reads it there,
// and a text pattern would present a box the user cannot type in as text.
class NamedComboBoxAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit NamedComboBoxAccessible(QComboBox *box)
        : QAccessibleWidget(box, QAccessible::ComboBox)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        const QString text = QAccessibleWidget::text(t);
        return (t == QAccessible::Name && text.isEmpty()) || t == QAccessible::Value
            ? box()->currentText()
            : text;
    }
    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.expandable = true;
        state.expanded = box()->view()->isVisible();
        state.collapsed = !state.expanded;
        return state;
    }
    // The list of items, as a screen reader reads it once the box opens.
    int childCount() const override { return 1; }
    QAccessibleInterface *child(int index) const override
    {
        return index == 0 ? QAccessible::queryAccessibleInterface(box()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child && child->object() == box()->view() ? 0 : -1;
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface
            && QOperatingSystemVersion::currentType() != QOperatingSystemVersion::Windows) {
            return static_cast<QAccessibleTextInterface *>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }
    QStringList actionNames() const override { return {showMenuAction(), pressAction()}; }
    void doAction(const QString &action) override
    {
        if (action == showMenuAction() || action == pressAction())
            box()->showPopup();
    }

    // The item shown, as text that cannot be selected, edited or pointed into.
    QString text(int start, int end) const override
    {
        return box()->currentText().mid(start, end - start);
    }
    int characterCount() const override { return int(box()->currentText().size()); }
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override { }
    int selectionCount() const override { return 0; }
    void selection(int, int *start, int *end) const override { *start = *end = 0; }
    void addSelection(int, int) override { }
    void removeSelection(int) override { }
    void setSelection(int, int, int) override { }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override { }
    QString attributes(int offset, int *start, int *end) const override
    {
        *start = *end = offset;
        return {};
    }

private:
    QComboBox *box() const { return static_cast<QComboBox *>(widget()); }
};

QAccessibleInterface *namedComboBox(const QString &className, QObject *object)
{
    auto *box = qobject_cast<QComboBox *>(object);
    return box && className == QLatin1String("QComboBox") ? new NamedComboBoxAccessible(box)
                                                          : nullptr;
}
} // namespace

ChannelWidget::ChannelWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_ChannelWidget)
{
    // Before any combo box is asked for its accessible interface, which Qt keeps once made.
    static const bool namedComboBoxes = (QAccessible::installFactory(namedComboBox), true);
    Q_UNUSED(namedComboBoxes);
    ui->setupUi(this);
    ui->leDelay->setValidator(new DelayValidator(this));
    nameControls();
    // What a user learns by trying, said to screen readers up front.
    ui->cbTrigger->setAccessibleDescription(QStringLiteral("%1, %2 or %3")
                                                .arg(ui->cbTrigger->itemText(0),
                                                     ui->cbTrigger->itemText(1),
                                                     ui->cbTrigger->itemText(2)));
    ui->sbWidth->setAccessibleDescription(QStringLiteral("Whole nanoseconds from %1 to %2")
                                              .arg(ui->sbWidth->minimum())
                                              .arg(ui->sbWidth->maximum()));
    ui->dsbAmplitude->setAccessibleDescription(
        QStringLiteral("Volts from %1 to %2")
            .arg(ui->dsbAmplitude->textFromValue(ui->dsbAmplitude->minimum()),
                 ui->dsbAmplitude->textFromValue(ui->dsbAmplitude->maximum())));
    ui->leDelay->setAccessibleDescription(
        QStringLiteral("Picoseconds, any decimal number, such as 1500.5 or 1e3"));

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
    nameControls();
}

// Every tab holds the same controls, labelled "Set" and "Get": screen readers and automation
// tell them apart by these names, which say the channel ("Set T3 width").
void ChannelWidget::nameControls()
{
    const struct
    {
        QWidget *value;
        QWidget *set;
        QWidget *get;
        const char *quantity;
        const char *unit;
    } rows[] = {
        {ui->cbTrigger, ui->pbSetTrigger, ui->pbGetTrigger, "trigger", ""},
        {ui->sbWidth, ui->pbSetWidth, ui->pbGetWidth, "width", " (ns)"},
        {ui->dsbAmplitude, ui->pbSetAmplitude, ui->pbGetAmplitude, "amplitude", " (V)"},
        {ui->leDelay, ui->pbSetDelay, ui->pbGetDelay, "delay", " (ps)"},
    };
    for (const auto &row : rows) {
        const QString what =
            QStringLiteral("T%1 %2").arg(channelIndex).arg(QLatin1String(row.quantity));
        row.value->setAccessibleName(what + QLatin1String(row.unit));
        row.set->setAccessibleName(QLatin1String("Set ") + what);
        row.get->setAccessibleName(QLatin1String("Get ") + what);
    }
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
    const std::optional<double> value = delayValue(text);
    if (!value) {
        qDebug() << "not a number:" << text;
        return;
    }
    emit setDelayClicked(channelIndex, *value);
}

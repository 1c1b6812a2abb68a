// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "channelwidget.h"
#include "logcapture.h"
#include "objecttree.h"
#include "recordingtranslator.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QDoubleValidator>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

class tst_ChannelWidget : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void formTree();
    void gridCells_data();
    void gridCells();
    void initialState();
    void focusOrder();
    void translationContext();
    void channelIndexShapesPanel_data();
    void channelIndexShapesPanel();
    void buttonEmitsOneRequest_data();
    void buttonEmitsOneRequest();
    void settersShowValueAndEmitNothing_data();
    void settersShowValueAndEmitNothing();
    void setDelayKeepsEveryDigit_data();
    void setDelayKeepsEveryDigit();
    void setDelayReadsTypedText_data();
    void setDelayReadsTypedText();

private:
    template<typename T>
    static T *child(ChannelWidget &panel, const char *name)
    {
        T *widget = panel.findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no child %s", name);
        return widget;
    }
};

// One spy on each of the panel's request signals.
class RequestSpies
{
public:
    explicit RequestSpies(QObject *panel)
    {
        const QMetaObject *meta = panel->metaObject();
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            if (method.methodType() == QMetaMethod::Signal)
                spies.push_back(std::make_unique<QSignalSpy>(panel, method));
        }
    }

    int total() const
    {
        int count = 0;
        for (const auto &spy : spies)
            count += int(spy->count());
        return count;
    }

    // The arguments of the one emission of `name`, or an empty list.
    QList<QVariant> only(const QByteArray &name) const
    {
        for (const auto &spy : spies) {
            if (spy->signal().startsWith(name + '(') && spy->count() == 1)
                return spy->at(0);
        }
        return {};
    }

    std::vector<std::unique_ptr<QSignalSpy>> spies;
};

void tst_ChannelWidget::cleanup()
{
    QLocale::setDefault(QLocale::c());
}

void tst_ChannelWidget::formTree()
{
    ChannelWidget panel;

    // Direct children in creation order, which is also the order of the form.
    const QStringList tree = namesAndClasses(panel.children());

    const QStringList expected = {
        "gridLayout:QGridLayout",
        "label_2:QLabel",
        "label:QLabel",
        "pbGetTrigger:QPushButton",
        "pbSetTrigger:QPushButton",
        "cbTrigger:QComboBox",
        "lAmplitude:QLabel",
        "lDelay:QLabel",
        "sbWidth:QSpinBox",
        "leDelay:QLineEdit",
        "pbSetWidth:QPushButton",
        "pbGetWidth:QPushButton",
        "pbSetAmplitude:QPushButton",
        "pbSetDelay:QPushButton",
        "pbGetAmplitude:QPushButton",
        "pbGetDelay:QPushButton",
        "dsbAmplitude:QDoubleSpinBox",
        ":QDoubleValidator", // installed on the delay field after the form is built
    };
    QCOMPARE(tree, expected);
    QCOMPARE(panel.objectName(), QStringLiteral("ChannelWidget"));
    QCOMPARE(panel.metaObject()->className(), "ChannelWidget");
}

void tst_ChannelWidget::gridCells_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");

    QTest::newRow("trigger label") << "label" << 0 << 0;
    QTest::newRow("trigger combo") << "cbTrigger" << 0 << 1;
    QTest::newRow("trigger set") << "pbSetTrigger" << 0 << 2;
    QTest::newRow("trigger get") << "pbGetTrigger" << 0 << 3;
    QTest::newRow("width label") << "label_2" << 1 << 0;
    QTest::newRow("width spin box") << "sbWidth" << 1 << 1;
    QTest::newRow("width set") << "pbSetWidth" << 1 << 2;
    QTest::newRow("width get") << "pbGetWidth" << 1 << 3;
    QTest::newRow("amplitude label") << "lAmplitude" << 2 << 0;
    QTest::newRow("amplitude spin box") << "dsbAmplitude" << 2 << 1;
    QTest::newRow("amplitude set") << "pbSetAmplitude" << 2 << 2;
    QTest::newRow("amplitude get") << "pbGetAmplitude" << 2 << 3;
    QTest::newRow("delay label") << "lDelay" << 3 << 0;
    QTest::newRow("delay field") << "leDelay" << 3 << 1;
    QTest::newRow("delay set") << "pbSetDelay" << 3 << 2;
    QTest::newRow("delay get") << "pbGetDelay" << 3 << 3;
}

void tst_ChannelWidget::gridCells()
{
    QFETCH(QString, name);
    QFETCH(int, row);
    QFETCH(int, column);

    ChannelWidget panel;
    auto *grid = child<QGridLayout>(panel, "gridLayout");
    const int index = grid->indexOf(child<QWidget>(panel, name.toLatin1()));
    QVERIFY(index >= 0);
    int r = -1, c = -1, rowSpan = 0, columnSpan = 0;
    grid->getItemPosition(index, &r, &c, &rowSpan, &columnSpan);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rowSpan, 1);
    QCOMPARE(columnSpan, 1);
    QCOMPARE(grid->itemAt(index)->alignment(), Qt::Alignment());
}

void tst_ChannelWidget::initialState()
{
    ChannelWidget panel;
    QCOMPARE(panel.windowTitle(), QStringLiteral("Form"));
    QCOMPARE(panel.size(), QSize(360, 162));

    auto *grid = child<QGridLayout>(panel, "gridLayout");
    QCOMPARE(grid->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(grid->count(), 17);
    QSpacerItem *spacer = grid->itemAtPosition(4, 0)->spacerItem();
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), QSize(20, 40));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);

    QCOMPARE(child<QLabel>(panel, "label")->text(), QStringLiteral("Trigger"));
    QCOMPARE(child<QLabel>(panel, "label_2")->text(), QStringLiteral("Width (ns)"));
    QCOMPARE(child<QLabel>(panel, "lAmplitude")->text(), QStringLiteral("Amplitude (V)"));
    QCOMPARE(child<QLabel>(panel, "lDelay")->text(), QStringLiteral("Delay (ps)"));
    for (const char *name : {"pbSetTrigger", "pbSetWidth", "pbSetAmplitude", "pbSetDelay"})
        QCOMPARE(child<QPushButton>(panel, name)->text(), QStringLiteral("Set"));
    for (const char *name : {"pbGetTrigger", "pbGetWidth", "pbGetAmplitude", "pbGetDelay"})
        QCOMPARE(child<QPushButton>(panel, name)->text(), QStringLiteral("Get"));

    auto *trigger = child<QComboBox>(panel, "cbTrigger");
    QCOMPARE(trigger->count(), 3);
    QCOMPARE(trigger->itemText(0), QStringLiteral("OFF"));
    QCOMPARE(trigger->itemText(1), QStringLiteral("IN1"));
    QCOMPARE(trigger->itemText(2), QStringLiteral("IN2"));
    QCOMPARE(trigger->currentIndex(), 0);
    QCOMPARE(trigger->layoutDirection(), Qt::RightToLeft);

    const Qt::Alignment rightCentred = Qt::AlignRight | Qt::AlignVCenter;
    auto *width = child<QSpinBox>(panel, "sbWidth");
    QCOMPARE(width->minimum(), 10);
    QCOMPARE(width->maximum(), 1000000);
    QCOMPARE(width->value(), 200);
    QCOMPARE(width->singleStep(), 1);
    QCOMPARE(width->alignment(), rightCentred);

    auto *amplitude = child<QDoubleSpinBox>(panel, "dsbAmplitude");
    QCOMPARE(amplitude->minimum(), 2.0);
    QCOMPARE(amplitude->maximum(), 5.0);
    QCOMPARE(amplitude->value(), 5.0);
    QCOMPARE(amplitude->decimals(), 2);
    QCOMPARE(amplitude->singleStep(), 1.0);
    QCOMPARE(amplitude->alignment(), rightCentred);

    auto *delay = child<QLineEdit>(panel, "leDelay");
    QCOMPARE(delay->text(), QStringLiteral("0"));
    QCOMPARE(delay->alignment(), rightCentred);
    const auto *validator = qobject_cast<const QDoubleValidator *>(delay->validator());
    QVERIFY(validator);
    QCOMPARE(validator->parent(), &panel);
    QCOMPARE(validator->notation(), QDoubleValidator::ScientificNotation);

    // Without an index the panel shows every row and asks for channel 0.
    for (QWidget *widget : panel.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        QVERIFY2(!widget->isHidden(), qPrintable(widget->objectName()));
    QSignalSpy get(&panel, &ChannelWidget::getDelayClicked);
    child<QPushButton>(panel, "pbGetDelay")->click();
    QCOMPARE(get.count(), 1);
    QCOMPARE(get.at(0).at(0).toInt(), 0);
}

void tst_ChannelWidget::focusOrder()
{
    ChannelWidget panel;
    QStringList order;
    for (QWidget *widget = panel.nextInFocusChain(); widget != &panel;
         widget = widget->nextInFocusChain()) {
        if (widget->parentWidget() == &panel && (widget->focusPolicy() & Qt::TabFocus))
            order << widget->objectName();
    }
    const QStringList expected = {"pbGetTrigger", "pbSetTrigger",   "cbTrigger",  "sbWidth",
                                  "leDelay",      "pbSetWidth",     "pbGetWidth", "pbSetAmplitude",
                                  "pbSetDelay",   "pbGetAmplitude", "pbGetDelay", "dsbAmplitude"};
    QCOMPARE(order, expected);
}

void tst_ChannelWidget::translationContext()
{
    RecordingTranslator translator;
    ChannelWidget panel;
    panel.setChannelIndex(3);

    const QStringList texts = {"Form",       "Trigger", "Width (ns)", "Amplitude (V)",
                               "Delay (ps)", "Set",     "Get",        "OFF",
                               "IN1",        "IN2",     "0"};
    QSet<QString> expected;
    for (const QString &text : texts)
        expected.insert(QStringLiteral("ChannelWidget|") + text);
    QCOMPARE(translator.requests, expected);
}

void tst_ChannelWidget::channelIndexShapesPanel_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("allRows");
    QTest::addColumn<int>("width");

    QTest::newRow("channel 0: trigger and width only") << 0 << false << 500;
    QTest::newRow("channel 1") << 1 << true << 200;
    QTest::newRow("channel 8") << 8 << true << 200;
    QTest::newRow("negative index counts as not 0") << -1 << true << 200;
}

void tst_ChannelWidget::channelIndexShapesPanel()
{
    QFETCH(int, index);
    QFETCH(bool, allRows);
    QFETCH(int, width);

    ChannelWidget panel;
    child<QSpinBox>(panel, "sbWidth")->setValue(777);
    panel.setChannelIndex(index);

    for (const char *name : {"lAmplitude", "dsbAmplitude", "pbSetAmplitude", "pbGetAmplitude",
                             "lDelay", "leDelay", "pbSetDelay", "pbGetDelay"}) {
        QVERIFY2(child<QWidget>(panel, name)->isHidden() == !allRows, name);
    }
    for (const char *name : {"label", "cbTrigger", "pbSetTrigger", "pbGetTrigger", "label_2",
                             "sbWidth", "pbSetWidth", "pbGetWidth"}) {
        QVERIFY2(!child<QWidget>(panel, name)->isHidden(), name);
    }
    QCOMPARE(child<QSpinBox>(panel, "sbWidth")->value(), width);

    QSignalSpy get(&panel, &ChannelWidget::getWidthClicked);
    child<QPushButton>(panel, "pbGetWidth")->click();
    QCOMPARE(get.count(), 1);
    QCOMPARE(get.at(0).at(0).toInt(), index);
}

void tst_ChannelWidget::buttonEmitsOneRequest_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<QVariant>("value");

    const QVariant none;
    QTest::newRow("set trigger untouched sends OFF")
        << "" << none << "pbSetTrigger" << QByteArray("setTriggerTypeClicked") << QVariant(0);
    QTest::newRow("set trigger IN2") << "cbTrigger" << QVariant(2) << "pbSetTrigger"
                                     << QByteArray("setTriggerTypeClicked") << QVariant(2);
    QTest::newRow("get trigger") << "" << none << "pbGetTrigger"
                                 << QByteArray("getTriggerTypeClicked") << none;
    QTest::newRow("set width") << "sbWidth" << QVariant(1234) << "pbSetWidth"
                               << QByteArray("setWidthClicked") << QVariant(1234);
    QTest::newRow("get width") << "" << none << "pbGetWidth" << QByteArray("getWidthClicked")
                               << none;
    QTest::newRow("set amplitude rounds to the box")
        << "dsbAmplitude" << QVariant(3.456) << "pbSetAmplitude"
        << QByteArray("setAmplitudeClicked") << QVariant(3.46);
    QTest::newRow("get amplitude")
        << "" << none << "pbGetAmplitude" << QByteArray("getAmplitudeClicked") << none;
    QTest::newRow("set delay initial 0")
        << "" << none << "pbSetDelay" << QByteArray("setDelayClicked") << QVariant(0.0);
    QTest::newRow("set delay 1e3") << "leDelay" << QVariant("1e3") << "pbSetDelay"
                                   << QByteArray("setDelayClicked") << QVariant(1000.0);
    QTest::newRow("get delay") << "" << none << "pbGetDelay" << QByteArray("getDelayClicked")
                               << none;
}

void tst_ChannelWidget::buttonEmitsOneRequest()
{
    QFETCH(QString, control);
    QFETCH(QVariant, input);
    QFETCH(QString, button);
    QFETCH(QByteArray, signal);
    QFETCH(QVariant, value);

    ChannelWidget panel;
    panel.setChannelIndex(5);
    if (auto *combo = panel.findChild<QComboBox *>(control))
        combo->setCurrentIndex(input.toInt());
    else if (auto *spin = panel.findChild<QSpinBox *>(control))
        spin->setValue(input.toInt());
    else if (auto *doubleSpin = panel.findChild<QDoubleSpinBox *>(control))
        doubleSpin->setValue(input.toDouble());
    else if (auto *edit = panel.findChild<QLineEdit *>(control))
        edit->setText(input.toString());

    RequestSpies spies(&panel);
    QCOMPARE(spies.spies.size(), size_t(8));
    child<QPushButton>(panel, button.toLatin1())->click();

    QCOMPARE(spies.total(), 1);
    const QList<QVariant> arguments = spies.only(signal);
    QCOMPARE(arguments.size(), value.isValid() ? 2 : 1);
    QCOMPARE(arguments.at(0).toInt(), 5);
    if (value.isValid())
        QCOMPARE(arguments.at(1).toDouble(), value.toDouble());
}

void tst_ChannelWidget::settersShowValueAndEmitNothing_data()
{
    QTest::addColumn<QString>("setter");
    QTest::addColumn<double>("argument");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("shown");

    QTest::newRow("width below range") << "setWidth" << 5.0 << "sbWidth"
                                       << "10";
    QTest::newRow("width above range") << "setWidth" << 2000000.0 << "sbWidth"
                                       << "1000000";
    // long is 64 bits wide on Linux, 32 on Windows: at either width, values as wide as a long
    // carries (2^62 or 2^30, exact as a double) are clamped, not wrapped.
    const double wide = double(std::numeric_limits<long>::max() / 2 + 1);
    QTest::newRow("width as wide as a long is clamped, not wrapped")
        << "setWidth" << wide << "sbWidth"
        << "1000000";
    QTest::newRow("width far below range") << "setWidth" << -wide << "sbWidth"
                                           << "10";
    QTest::newRow("width in range") << "setWidth" << 4321.0 << "sbWidth"
                                    << "4321";
    QTest::newRow("amplitude above range") << "setAmplitude" << 7.3 << "dsbAmplitude"
                                           << "5.00";
    QTest::newRow("amplitude below range") << "setAmplitude" << 1.0 << "dsbAmplitude"
                                           << "2.00";
    QTest::newRow("amplitude rounded to two decimals") << "setAmplitude" << 3.456 << "dsbAmplitude"
                                                       << "3.46";
    QTest::newRow("trigger IN2") << "setTriggerType" << 2.0 << "cbTrigger"
                                 << "IN2";
    QTest::newRow("trigger IN1") << "setTriggerType" << 1.0 << "cbTrigger"
                                 << "IN1";
    QTest::newRow("delay") << "setDelay" << 250.5 << "leDelay"
                           << "250.5";
}

void tst_ChannelWidget::settersShowValueAndEmitNothing()
{
    QFETCH(QString, setter);
    QFETCH(double, argument);
    QFETCH(QString, control);
    QFETCH(QString, shown);

    ChannelWidget panel;
    panel.setChannelIndex(2);
    RequestSpies spies(&panel);
    if (setter == QLatin1String("setWidth"))
        panel.setWidth(long(argument));
    else if (setter == QLatin1String("setAmplitude"))
        panel.setAmplitude(argument);
    else if (setter == QLatin1String("setTriggerType"))
        panel.setTriggerType(int(argument));
    else
        panel.setDelay(argument);

    QWidget *widget = child<QWidget>(panel, control.toLatin1());
    if (auto *spin = qobject_cast<QAbstractSpinBox *>(widget))
        QCOMPARE(spin->text(), shown);
    else if (auto *combo = qobject_cast<QComboBox *>(widget))
        QCOMPARE(combo->currentText(), shown);
    else
        QCOMPARE(qobject_cast<QLineEdit *>(widget)->text(), shown);
    QCOMPARE(spies.total(), 0);
}

void tst_ChannelWidget::setDelayKeepsEveryDigit_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("edit"); // typed at the end of the text shown; \b erases
    QTest::addColumn<double>("sent");

    QTest::newRow("zero") << "C" << 0.0 << "0"
                          << "" << 0.0;
    QTest::newRow("fraction") << "C" << 250.5 << "250.5"
                              << "" << 250.5;
    QTest::newRow("six digits") << "C" << 999999.0 << "999999"
                                << "" << 999999.0;
    QTest::newRow("one million keeps its exponent form") << "C" << 1000000.0 << "1e+06"
                                                         << "" << 1000000.0;
    QTest::newRow("seven digits are not rounded") << "C" << 1234567.0 << "1234567"
                                                  << "" << 1234567.0;
    QTest::newRow("small") << "C" << 0.00001 << "1e-05"
                           << "" << 0.00001;
    QTest::newRow("negative") << "C" << -1500.25 << "-1500.25"
                              << "" << -1500.25;
    QTest::newRow("many digits") << "C" << 123456.789012 << "123456.789012"
                                 << "" << 123456.789012;
    QTest::newRow("German user: point still shown") << "de_DE" << 1234.5 << "1234.5"
                                                    << "" << 1234.5;
    QTest::newRow("German user: no group separator") << "de_DE" << 1234567.0 << "1234567"
                                                     << "" << 1234567.0;
    QTest::newRow("Swedish user: an exponent that reads back, not 1x10^+06")
        << "sv_SE" << 1000000.0 << "1e+06"
        << "\b7" << 10000000.0;
    QTest::newRow("English user: exponent as the instrument writes it")
        << "en_US" << 1000000.0 << "1e+06"
        << "" << 1000000.0;

    // Read back, the last digit changed, Set: the number the field then shows, on every desktop.
    // A German desktop sent 1235 for "1.235", where "." groups thousands.
    for (const char *locale : {"de_DE", "fr_FR", "en_US", "C"}) {
        const auto row = [locale](const char *shown, double value, char digit, double sent) {
            QTest::addRow("%s: %s edited to end in %c", locale, shown, digit)
                << locale << value << shown << QStringLiteral("\b") + QLatin1Char(digit) << sent;
        };
        row("1.234", 1.234, '5', 1.235);
        row("12.345", 12.345, '6', 12.346);
        row("1234.5", 1234.5, '7', 1234.7);
    }
    QTest::newRow("German user: typed 1,5") << "de_DE" << 0.0 << "0"
                                            << "\b1,5" << 1.5;
    QTest::newRow("German user: the comma after a point is refused, no group separator")
        << "de_DE" << 0.0 << "0"
        << "\b1.234,5" << 1.2345;
    QTest::newRow("English user: the comma is refused, no group separator")
        << "en_US" << 0.0 << "0"
        << "\b1,500.5" << 1500.5;
    QTest::newRow("German user: typed in the C form, 1.5") << "de_DE" << 0.0 << "0"
                                                           << "\b1.5" << 1.5;
}

void tst_ChannelWidget::setDelayKeepsEveryDigit()
{
    QFETCH(QString, locale);
    QFETCH(double, value);
    QFETCH(QString, text);
    QFETCH(QString, edit);
    QFETCH(double, sent);

    QLocale::setDefault(QLocale(locale));
    ChannelWidget panel;
    panel.setChannelIndex(4);
    panel.setDelay(value);
    auto *field = child<QLineEdit>(panel, "leDelay");
    const QString shown = field->text();
    // Keystroke by keystroke, through the field's validator, as a user edits.
    QTest::keyClick(field, Qt::Key_End);
    QTest::keyClicks(field, edit);

    QSignalSpy set(&panel, &ChannelWidget::setDelayClicked);
    child<QPushButton>(panel, "pbSetDelay")->click();
    QCOMPARE(set.count(), 1);
    // Exactly the value shown, not one rounded on the way.
    QVERIFY2(set.at(0).at(1).toDouble() == sent,
             qPrintable(QString::number(set.at(0).at(1).toDouble(), 'g', 17)));
    QCOMPARE(shown, text);
}

void tst_ChannelWidget::setDelayReadsTypedText_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<double>("sent"); // NaN: nothing is sent

    const double nothing = qQNaN();
    QTest::newRow("C decimal") << "C"
                               << "1500.5" << 1500.5;
    QTest::newRow("C exponent") << "C"
                                << "1e3" << 1000.0;
    QTest::newRow("C negative") << "C"
                                << "-2.5" << -2.5;
    QTest::newRow("German comma") << "de_DE"
                                  << "1,5" << 1.5;
    QTest::newRow("German grouped: a delay has no group separator") << "de_DE"
                                                                    << "1.234,5" << nothing;
    QTest::newRow("German user typing a point") << "de_DE"
                                                << "1500.5" << 1500.5;
    QTest::newRow("German user typing an exponent") << "de_DE"
                                                    << "1e3" << 1000.0;
    QTest::newRow("English grouped: a delay has no group separator") << "en_US"
                                                                     << "1,500.5" << nothing;
    QTest::newRow("letters") << "C"
                             << "abc" << nothing;
    QTest::newRow("empty") << "C"
                           << "" << nothing;
    QTest::newRow("lone sign") << "C"
                               << "-" << nothing;
    QTest::newRow("not a number") << "C"
                                  << "nan" << nothing;
    QTest::newRow("infinity") << "C"
                              << "inf" << nothing;
    QTest::newRow("overflow") << "C"
                              << "1e999" << nothing;
    QTest::newRow("comma in the C locale") << "C"
                                           << "1,5" << nothing;
}

void tst_ChannelWidget::setDelayReadsTypedText()
{
    QFETCH(QString, locale);
    QFETCH(QString, typed);
    QFETCH(double, sent);

    QLocale::setDefault(QLocale(locale));
    ChannelWidget panel;
    panel.setChannelIndex(6);
    child<QLineEdit>(panel, "leDelay")->setText(typed);

    LogCapture log;
    LogCapture::clear();
    QSignalSpy set(&panel, &ChannelWidget::setDelayClicked);
    child<QPushButton>(panel, "pbSetDelay")->click();

    if (std::isnan(sent)) {
        // A zero sent in its place would silently clear the instrument's delay.
        QCOMPARE(set.count(), 0);
        QCOMPARE(LogCapture::lines(),
                 QStringList{QStringLiteral("not a number: \"%1\"").arg(typed)});
    } else {
        QCOMPARE(set.count(), 1);
        QCOMPARE(set.at(0).at(0).toInt(), 6);
        QCOMPARE(set.at(0).at(1).toDouble(), sent);
        QCOMPARE(LogCapture::lines(), QStringList());
    }
}

QTEST_MAIN(tst_ChannelWidget)
#include "tst_channelwidget.moc"

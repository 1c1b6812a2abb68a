// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "frequencywidget.h"
#include "objecttree.h"
#include "recordingtranslator.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include <limits>

class tst_FrequencyWidget : public QObject
{
    Q_OBJECT

private slots:
    void formTree();
    void initialState();
    void focusOrder();
    void translationContext();
    void channelIndexSetsLabel_data();
    void channelIndexSetsLabel();
    void buttonsEmitOneRequest_data();
    void buttonsEmitOneRequest();
    void setFrequencyClampsAndEmitsNothing_data();
    void setFrequencyClampsAndEmitsNothing();

private:
    static QSpinBox *spinBox(FrequencyWidget &panel)
    {
        return panel.findChild<QSpinBox *>("sbFrequency");
    }
    static QLabel *label(FrequencyWidget &panel) { return panel.findChild<QLabel *>("lFrequency"); }
    static QPushButton *button(FrequencyWidget &panel, const QString &name)
    {
        return panel.findChild<QPushButton *>(name);
    }
};

void tst_FrequencyWidget::formTree()
{
    FrequencyWidget panel;
    const QStringList tree = namesAndClasses(panel.children());
    const QStringList expected = {"horizontalLayout:QHBoxLayout", "lFrequency:QLabel",
                                  "sbFrequency:QSpinBox", "pbSet:QPushButton", "pbGet:QPushButton"};
    QCOMPARE(tree, expected);

    // Left to right in the same order, each without stretch or alignment.
    auto *layout = panel.findChild<QHBoxLayout *>("horizontalLayout");
    QCOMPARE(layout->count(), 4);
    for (int i = 0; i < layout->count(); ++i) {
        QCOMPARE(layout->itemAt(i)->widget()->objectName(), expected.at(i + 1).section(':', 0, 0));
        QCOMPARE(layout->stretch(i), 0);
        QCOMPARE(layout->itemAt(i)->alignment(), Qt::Alignment());
    }
    QCOMPARE(layout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(panel.objectName(), QStringLiteral("FrequencyWidget"));
}

void tst_FrequencyWidget::initialState()
{
    FrequencyWidget panel;
    QCOMPARE(panel.windowTitle(), QStringLiteral("Form"));
    QCOMPARE(panel.size(), QSize(383, 25));
    QCOMPARE(label(panel)->text(), QStringLiteral("Frequency (1-1000000 Hz)"));
    QCOMPARE(spinBox(panel)->minimum(), 1);
    QCOMPARE(spinBox(panel)->maximum(), 1000000);
    QCOMPARE(spinBox(panel)->value(), 1000);
    QCOMPARE(spinBox(panel)->singleStep(), 1);
    QCOMPARE(spinBox(panel)->alignment(), QSpinBox().alignment());
    QCOMPARE(button(panel, "pbSet")->text(), QStringLiteral("Set"));
    QCOMPARE(button(panel, "pbGet")->text(), QStringLiteral("Get"));
}

void tst_FrequencyWidget::focusOrder()
{
    FrequencyWidget panel;
    QStringList order;
    for (QWidget *widget = panel.nextInFocusChain(); widget != &panel;
         widget = widget->nextInFocusChain()) {
        if (widget->parentWidget() == &panel && (widget->focusPolicy() & Qt::TabFocus))
            order << widget->objectName();
    }
    QCOMPARE(order, QStringList({"sbFrequency", "pbSet", "pbGet"}));
}

void tst_FrequencyWidget::translationContext()
{
    RecordingTranslator translator;
    FrequencyWidget panel;
    panel.setChannelIndex(2); // a label built at run time is not translated

    const QSet<QString> expected = {"FrequencyWidget|Form",
                                    "FrequencyWidget|Frequency (1-1000000 Hz)",
                                    "FrequencyWidget|Set", "FrequencyWidget|Get"};
    QCOMPARE(translator.requests, expected);
}

void tst_FrequencyWidget::channelIndexSetsLabel_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");

    QTest::newRow("source 1") << 1 << "Frequency 1 (1-1000000 Hz)";
    QTest::newRow("source 2") << 2 << "Frequency 2 (1-1000000 Hz)";
    QTest::newRow("two digits") << 12 << "Frequency 12 (1-1000000 Hz)";
    QTest::newRow("negative") << -3 << "Frequency -3 (1-1000000 Hz)";
}

void tst_FrequencyWidget::channelIndexSetsLabel()
{
    QFETCH(int, index);
    QFETCH(QString, text);

    FrequencyWidget panel;
    panel.setChannelIndex(index);
    QCOMPARE(label(panel)->text(), text);
    QCOMPARE(spinBox(panel)->value(), 1000);
}

void tst_FrequencyWidget::buttonsEmitOneRequest_data()
{
    QTest::addColumn<int>("index");     // 0: setChannelIndex never called
    QTest::addColumn<int>("frequency"); // 0: left as it is
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("value"); // -1: a get request

    QTest::newRow("set untouched sends 1000") << 2 << 0 << "pbSet" << 2 << 1000;
    QTest::newRow("set changed value") << 1 << 250000 << "pbSet" << 1 << 250000;
    QTest::newRow("get") << 2 << 0 << "pbGet" << 2 << -1;
    QTest::newRow("without an index, source 1") << 0 << 0 << "pbGet" << 1 << -1;
    QTest::newRow("without an index, set on source 1") << 0 << 5 << "pbSet" << 1 << 5;
}

void tst_FrequencyWidget::buttonsEmitOneRequest()
{
    QFETCH(int, index);
    QFETCH(int, frequency);
    QFETCH(QString, button);
    QFETCH(int, channel);
    QFETCH(int, value);

    FrequencyWidget panel;
    if (index)
        panel.setChannelIndex(index);
    if (frequency)
        spinBox(panel)->setValue(frequency);

    QSignalSpy set(&panel, &FrequencyWidget::setButtonCkicked);
    QSignalSpy get(&panel, &FrequencyWidget::getButtonCkicked);
    this->button(panel, button)->click();

    QSignalSpy &fired = value < 0 ? get : set;
    QCOMPARE(set.count() + get.count(), 1);
    QCOMPARE(fired.count(), 1);
    QCOMPARE(fired.at(0).at(0).toInt(), channel);
    if (value >= 0)
        QCOMPARE(fired.at(0).at(1).value<long>(), long(value));
}

void tst_FrequencyWidget::setFrequencyClampsAndEmitsNothing_data()
{
    QTest::addColumn<qlonglong>("value");
    QTest::addColumn<int>("shown");

    QTest::newRow("zero shows the minimum") << 0LL << 1;
    QTest::newRow("above range") << 5000000LL << 1000000;
    QTest::newRow("in range") << 2500LL << 2500;
    // long is 64 bits wide on Linux, 32 on Windows: at either width, the widest values a long
    // carries are clamped, not wrapped.
    QTest::newRow("largest long is clamped, not wrapped")
        << qlonglong(std::numeric_limits<long>::max()) << 1000000;
    QTest::newRow("smallest long is clamped, not wrapped")
        << qlonglong(std::numeric_limits<long>::min()) << 1;
}

void tst_FrequencyWidget::setFrequencyClampsAndEmitsNothing()
{
    QFETCH(qlonglong, value);
    QFETCH(int, shown);

    FrequencyWidget panel;
    panel.setChannelIndex(1);
    QSignalSpy set(&panel, &FrequencyWidget::setButtonCkicked);
    QSignalSpy get(&panel, &FrequencyWidget::getButtonCkicked);
    panel.setFrequency(long(value));
    QCOMPARE(spinBox(panel)->value(), shown);
    QCOMPARE(set.count() + get.count(), 0);

    // A following Set sends what is shown.
    button(panel, "pbSet")->click();
    QCOMPARE(set.count(), 1);
    QCOMPARE(set.at(0).at(1).value<long>(), long(shown));
}

QTEST_MAIN(tst_FrequencyWidget)
#include "tst_frequencywidget.moc"

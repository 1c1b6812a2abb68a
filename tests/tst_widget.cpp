// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "channelwidget.h"
#include "frequencywidget.h"
#include "logcapture.h"
#include "objecttree.h"
#include "recordingtranslator.h"
#include "widget.h"

#include <QAccessible>
#include <QFile>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaMethod>
#include <QOperatingSystemVersion>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QValidator>
#include <QtEndian>

// The controls a user acts on, as a screen reader finds them in the accessible tree:
// "role|name" each, in tree order. Hidden ones count: the tabs not shown, channel 0's rows.
QStringList controlsAsRead(QObject *top)
{
    static const QAccessible::Role roles[] = {
        QAccessible::PushButton, QAccessible::CheckBox,     QAccessible::RadioButton,
        QAccessible::ComboBox,   QAccessible::SpinBox,      QAccessible::Slider,
        QAccessible::PageTab,    QAccessible::EditableText,
    };
    QStringList controls;
    QList<QAccessibleInterface *> pending = {QAccessible::queryAccessibleInterface(top)};
    while (!pending.isEmpty()) {
        QAccessibleInterface *node = pending.takeFirst();
        const QAccessible::Role role = node->role();
        if (std::find(std::begin(roles), std::end(roles), role) != std::end(roles))
            controls << QString::number(role) + QLatin1Char('|') + node->text(QAccessible::Name);
        if (role == QAccessible::ComboBox)
            continue; // its list holds the items to choose from, not controls
        for (int i = node->childCount() - 1; i >= 0; --i)
            pending.prepend(node->child(i));
    }
    return controls;
}

class tst_Widget : public QObject
{
    Q_OBJECT

private slots:
    void photoIsEmbedded_data();
    void photoIsEmbedded();
    void formTree();
    void layoutNesting();
    void tabPages();
    void textsAndInitialStates();
    void sizes();
    void windowIconFromTheme();
    void slotTable();
    void focusOrder();
    void translationContexts();
    void panelsAfterStart();
    void addressValidator_data();
    void addressValidator();
    void closeBeforeConnectLogsOnlyClose();
    void accessibleControls();
    void accessibleNamesFollowIndex_data();
    void accessibleNamesFollowIndex();

private:
    template<typename T = QWidget>
    static T *child(QObject &parent, const char *name)
    {
        T *object = parent.findChild<T *>(QLatin1String(name));
        if (!object)
            qFatal("no child %s", name);
        return object;
    }
};

void tst_Widget::photoIsEmbedded_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QSize>("pixels");

    QTest::newRow("100 %") << ":/image/Tarvo318.png" << QSize(300, 187);
    QTest::newRow("200 %, drawn at twice the size") << ":/image/Tarvo318@2x.png" << QSize(600, 374);
}

void tst_Widget::photoIsEmbedded()
{
    QFETCH(QString, file);
    QFETCH(QSize, pixels);

    QFile photo(file);
    QVERIFY(photo.open(QIODevice::ReadOnly));
    const QByteArray png = photo.readAll();

    // PNG signature, then the IHDR chunk: width, height, bit depth, colour
    // type (6: RGBA), compression, filter, interlace.
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
    const auto *header = reinterpret_cast<const uchar *>(png.constData()) + 16;
    QCOMPARE(qFromBigEndian<quint32>(header), quint32(pixels.width()));
    QCOMPARE(qFromBigEndian<quint32>(header + 4), quint32(pixels.height()));
    QCOMPARE(int(header[8]), 8);
    QCOMPARE(int(header[9]), 6);
    QCOMPARE(int(header[12]), 0);
}

void tst_Widget::formTree()
{
    Widget w;
    QCOMPARE(w.objectName(), QStringLiteral("Widget"));
    QCOMPARE(w.metaObject()->className(), "Widget");

    QCOMPARE(namesAndClasses(w.children()),
             QStringList({"horizontalLayout_2:QHBoxLayout", "lImage:QLabel", "label:QLabel",
                          "leTcpIpAdress:QLineEdit", "pbConnect:QPushButton",
                          "pbUpdateData:QPushButton", "gbFrequency:QGroupBox",
                          "gbChannels:QGroupBox", ":QRegularExpressionValidator"}));
    QCOMPARE(namesAndClasses(child(w, "gbFrequency")->children()),
             QStringList({"verticalLayout_3:QVBoxLayout", "wFrequency1:FrequencyWidget",
                          "wFrequency2:FrequencyWidget"}));
    QCOMPARE(namesAndClasses(child(w, "gbChannels")->children()),
             QStringList({"verticalLayout_2:QVBoxLayout", "tabWidget:QTabWidget"}));
}

void tst_Widget::layoutNesting()
{
    Widget w;
    auto items = [](QLayout *layout) {
        QStringList list;
        for (int i = 0; i < layout->count(); ++i) {
            QLayoutItem *item = layout->itemAt(i);
            list << (item->widget() ? item->widget()->objectName() : item->layout()->objectName());
            if (auto *box = qobject_cast<QBoxLayout *>(layout))
                list.last() += QLatin1Char('/') + QString::number(box->stretch(i));
        }
        return list;
    };
    QCOMPARE(w.layout()->objectName(), QStringLiteral("horizontalLayout_2"));
    QCOMPARE(items(w.layout()), QStringList({"lImage/0", "verticalLayout/0"}));
    QCOMPARE(items(child<QLayout>(w, "verticalLayout")),
             QStringList({"horizontalLayout/0", "gbFrequency/0", "gbChannels/0"}));
    QCOMPARE(items(child<QLayout>(w, "horizontalLayout")),
             QStringList({"label/0", "leTcpIpAdress/0", "pbConnect/0", "pbUpdateData/0"}));
    QCOMPARE(items(child<QLayout>(w, "verticalLayout_3")),
             QStringList({"wFrequency1/0", "wFrequency2/0"}));
    QCOMPARE(items(child<QLayout>(w, "verticalLayout_2")), QStringList({"tabWidget/0"}));
}

void tst_Widget::tabPages()
{
    Widget w;
    auto *tabs = child<QTabWidget>(w, "tabWidget");
    QCOMPARE(tabs->count(), 9);
    QCOMPARE(tabs->currentIndex(), 1);
    QCOMPARE(tabs->tabText(tabs->currentIndex()), QStringLiteral("T1"));

    const QStringList pages = {"tab",   "tab_2", "tab_3", "tab_4", "tab_5",
                               "tab_6", "tab_7", "tab_8", "tab_9"};
    const QStringList layouts = {"verticalLayout_11", "verticalLayout_12", "verticalLayout_4",
                                 "verticalLayout_5",  "verticalLayout_6",  "verticalLayout_7",
                                 "verticalLayout_8",  "verticalLayout_9",  "verticalLayout_10"};
    for (int index = 0; index < tabs->count(); ++index) {
        QWidget *page = tabs->widget(index);
        QCOMPARE(page->objectName(), pages.at(index));
        QCOMPARE(tabs->tabText(index), QStringLiteral("T%1").arg(index));
        QCOMPARE(namesAndClasses(page->children()),
                 QStringList({layouts.at(index) + ":QVBoxLayout",
                              QStringLiteral("wChannel%1:ChannelWidget").arg(index)}));
        QCOMPARE(page->layout()->count(), 1);
    }
}

void tst_Widget::textsAndInitialStates()
{
    Widget w;
    QCOMPARE(w.windowTitle(), QStringLiteral("Tarvo Delay Generator Model 318"));
    QCOMPARE(child<QLabel>(w, "label")->text(), QStringLiteral("TcpiIp address"));
    QCOMPARE(child<QLineEdit>(w, "leTcpIpAdress")->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(child<QPushButton>(w, "pbConnect")->text(), QStringLiteral("Connect"));
    QCOMPARE(child<QPushButton>(w, "pbUpdateData")->text(), QStringLiteral("Update data"));
    QCOMPARE(child<QGroupBox>(w, "gbFrequency")->title(), QStringLiteral("Frequency"));
    QCOMPARE(child<QGroupBox>(w, "gbChannels")->title(), QStringLiteral("Channels"));
    QCOMPARE(child<QLabel>(w, "lImage")->text(), QString());

    // Not connected: only the address and Connect can be used.
    for (const char *name : {"lImage", "label", "leTcpIpAdress", "pbConnect"})
        QVERIFY2(child(w, name)->isEnabled(), name);
    for (const char *name : {"pbUpdateData", "gbFrequency", "gbChannels", "tabWidget",
                             "wFrequency1", "wFrequency2", "wChannel0", "wChannel8"}) {
        QVERIFY2(!child(w, name)->isEnabled(), name);
    }
    QVERIFY(!child<QTabWidget>(w, "tabWidget")->tabBar()->isEnabled());
    for (QPushButton *button : child(w, "gbChannels")->findChildren<QPushButton *>())
        QVERIFY(!button->isEnabled());
    for (QPushButton *button : w.findChildren<QPushButton *>())
        QVERIFY(button->icon().isNull());
}

void tst_Widget::sizes()
{
    Widget w;
    QCOMPARE(w.size(), QSize(831, 334));
    QCOMPARE(w.minimumSize(), QSize(622, 334));
    QCOMPARE(w.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));

    auto *photo = child<QLabel>(w, "lImage");
    QCOMPARE(photo->minimumSize(), QSize(300, 187));
    QCOMPARE(photo->maximumSize(), QSize(300, 187));
    QVERIFY(photo->hasScaledContents());
    // Every pixel of the screen drawn, none scaled up: CTest runs this at 100 % and 200 %.
    QCOMPARE(photo->pixmap().size(), QSize(300, 187) * photo->devicePixelRatio());

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.resize(400, 200);
    QTRY_COMPARE(w.size(), QSize(622, 334));
    w.resize(1400, 700);
    QTRY_COMPARE(w.size(), QSize(1400, 700));
    QCOMPARE(photo->size(), QSize(300, 187));
}

void tst_Widget::windowIconFromTheme()
{
    // The offscreen platform has no icon theme: bring a small one.
    QTemporaryDir themes;
    QVERIFY(themes.isValid());
    QDir root(themes.path());
    QVERIFY(root.mkpath("lab/16x16/apps"));
    QFile index(root.filePath("lab/index.theme"));
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.write(
        "[Icon Theme]\nName=lab\nDirectories=16x16/apps\n\n[16x16/apps]\nSize=16\nType=Fixed\n");
    index.close();
    QImage square(16, 16, QImage::Format_ARGB32);
    square.fill(Qt::darkGreen);
    QVERIFY(square.save(root.filePath("lab/16x16/apps/system-software-update.png")));

    const QStringList searchPaths = QIcon::themeSearchPaths();
    const QString themeName = QIcon::themeName();
    QIcon::setThemeSearchPaths({themes.path()});
    QIcon::setThemeName(QStringLiteral("lab"));
    {
        Widget w;
        QVERIFY(!w.windowIcon().isNull());
        QCOMPARE(w.windowIcon().name(), QStringLiteral("system-software-update"));
    }
    QIcon::setThemeName(QStringLiteral("no-such-theme"));
    {
        Widget w; // no fallback icon of its own
        QCOMPARE(w.windowIcon().name(), QString());
    }
    QIcon::setThemeSearchPaths(searchPaths);
    QIcon::setThemeName(themeName);
}

void tst_Widget::slotTable()
{
    const QMetaObject &meta = Widget::staticMetaObject;
    QStringList table;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        table << QString::fromLatin1(method.methodSignature()) + QLatin1Char(' ')
                + QString::fromLatin1(method.parameterNames().join(','));
    }
    QCOMPARE(
        table,
        QStringList(
            {"on_pbConnect_clicked() ", "getFrequency(int) channel",
             "setFrequency(int,long) channel,value", "setTriggerTypeClicked(int,int) channel,value",
             "getTriggerTypeClicked(int) channel", "setWidthClicked(int,long) channel,value",
             "getWidthClicked(int) channel", "setAmplitudeClicked(int,double) channel,value",
             "getAmplitudeClicked(int) channel", "setDelayClicked(int,double) channel,value",
             "getDelayClicked(int) channel", "on_pbUpdateData_clicked() "}));
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());
}

void tst_Widget::focusOrder()
{
    Widget w;
    QStringList expected = {"leTcpIpAdress", "pbConnect", "pbUpdateData"};
    for (const char *panel : {"wFrequency1", "wFrequency2"}) {
        for (const char *name : {"sbFrequency", "pbSet", "pbGet"})
            expected << QLatin1String(panel) + QLatin1Char('/') + QLatin1String(name);
    }
    for (int channel = 0; channel < 9; ++channel) {
        for (const char *name : {"pbGetTrigger", "pbSetTrigger", "cbTrigger", "sbWidth", "leDelay",
                                 "pbSetWidth", "pbGetWidth", "pbSetAmplitude", "pbSetDelay",
                                 "pbGetAmplitude", "pbGetDelay", "dsbAmplitude"}) {
            expected << QStringLiteral("wChannel%1/").arg(channel) + QLatin1String(name);
        }
    }

    QStringList order;
    for (QWidget *widget = w.nextInFocusChain(); widget != &w;
         widget = widget->nextInFocusChain()) {
        if (!(widget->focusPolicy() & Qt::TabFocus))
            continue;
        if (widget->parentWidget() == &w)
            order << widget->objectName();
        else if (qobject_cast<FrequencyWidget *>(widget->parentWidget())
                 || qobject_cast<ChannelWidget *>(widget->parentWidget()))
            order << widget->parentWidget()->objectName() + QLatin1Char('/') + widget->objectName();
    }
    QCOMPARE(order, expected);
}

void tst_Widget::translationContexts()
{
    RecordingTranslator translator;
    Widget w;

    QSet<QString> contexts;
    QSet<QString> windowTexts;
    for (const QString &request : std::as_const(translator.requests)) {
        contexts.insert(request.section('|', 0, 0));
        if (request.startsWith(QLatin1String("Widget|")))
            windowTexts.insert(request.section('|', 1));
    }
    QCOMPARE(contexts, QSet<QString>({"Widget", "FrequencyWidget", "ChannelWidget"}));
    QCOMPARE(windowTexts,
             QSet<QString>({"Tarvo Delay Generator Model 318", "TcpiIp address", "127.0.0.1",
                            "Connect", "Update data", "Frequency", "Channels", "T0", "T1", "T2",
                            "T3", "T4", "T5", "T6", "T7", "T8"}));
}

void tst_Widget::panelsAfterStart()
{
    Widget w;
    for (int channel = 0; channel < 9; ++channel) {
        auto *panel =
            child<ChannelWidget>(w, qPrintable(QStringLiteral("wChannel%1").arg(channel)));
        const bool allRows = channel != 0;
        for (const char *name : {"lAmplitude", "dsbAmplitude", "pbSetAmplitude", "pbGetAmplitude",
                                 "lDelay", "leDelay", "pbSetDelay", "pbGetDelay"}) {
            QCOMPARE(child(*panel, name)->isHidden(), !allRows);
        }
        QCOMPARE(child<QSpinBox>(*panel, "sbWidth")->value(), channel == 0 ? 500 : 200);
    }
    QCOMPARE(child<QLabel>(*child(w, "wFrequency1"), "lFrequency")->text(),
             QStringLiteral("Frequency 1 (1-1000000 Hz)"));
    QCOMPARE(child<QLabel>(*child(w, "wFrequency2"), "lFrequency")->text(),
             QStringLiteral("Frequency 2 (1-1000000 Hz)"));
    QCOMPARE(child<QSpinBox>(*child(w, "wFrequency1"), "sbFrequency")->value(), 1000);
    QCOMPARE(child<QSpinBox>(*child(w, "wFrequency2"), "sbFrequency")->value(), 1000);
}

void tst_Widget::addressValidator_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("state");

    const int acceptable = QValidator::Acceptable;
    const int intermediate = QValidator::Intermediate;
    QTest::newRow("address") << "10.0.0.1"
                             << "10.0.0.1" << acceptable;
    QTest::newRow("highest address") << "255.255.255.255"
                                     << "255.255.255.255" << acceptable;
    QTest::newRow("leading zeros") << "010.001.000.099"
                                   << "010.001.000.099" << acceptable;
    QTest::newRow("fourth digit in a part") << "1921"
                                            << "192" << intermediate;
    QTest::newRow("part above 255 after 25") << "256"
                                             << "25" << intermediate;
    QTest::newRow("part above 255 after 30") << "300"
                                             << "30" << intermediate;
    QTest::newRow("three digits starting 3") << "3.300.1.1"
                                             << "3.30.1.1" << acceptable;
    QTest::newRow("fifth part") << "1.2.3.4.5"
                                << "1.2.3.45" << acceptable;
    QTest::newRow("dot after fourth part") << "1.2.3.4."
                                           << "1.2.3.4" << acceptable;
    QTest::newRow("two dots in a row") << "1..2"
                                       << "1.2" << intermediate;
    QTest::newRow("leading dot") << ".1"
                                 << "1" << intermediate;
    QTest::newRow("letters") << "a1b.c2"
                             << "1.2" << intermediate;
    QTest::newRow("spaces") << "1 2 7.0"
                            << "127.0" << intermediate;
    QTest::newRow("signs") << "+1-0"
                           << "10" << intermediate;
    QTest::newRow("trailing dot may stand") << "10.11."
                                            << "10.11." << intermediate;
    QTest::newRow("empty") << ""
                           << "" << intermediate;
}

void tst_Widget::addressValidator()
{
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(int, state);

    Widget w;
    auto *address = child<QLineEdit>(w, "leTcpIpAdress");
    address->clear();
    // Keystroke by keystroke, as a user types.
    for (const QChar c : typed)
        QTest::keyClick(address, c.toLatin1());
    QCOMPARE(address->text(), shown);

    QString text = address->text();
    int position = 0;
    QCOMPARE(int(address->validator()->validate(text, position)), state);
}

void tst_Widget::closeBeforeConnectLogsOnlyClose()
{
    Widget w;
    w.show();
    LogCapture log;
    LogCapture::clear();
    QVERIFY(w.close());
    QCOMPARE(LogCapture::lines(), QStringList{"close"});
    QVERIFY(w.findChildren<QObject *>(QString(), Qt::FindDirectChildrenOnly).size() == 9);
}

// Every control says what it is, in a name no other control of its role has.
void tst_Widget::accessibleControls()
{
    Widget w;
    const QStringList controls = controlsAsRead(&w);
    QVERIFY2(controls.size() >= 128, qPrintable(QString::number(controls.size())));
    QStringList unnamed, shared;
    for (const QString &control : controls) {
        if (control.section(QLatin1Char('|'), 1).trimmed().isEmpty())
            unnamed << control;
        else if (controls.count(control) > 1 && !shared.contains(control))
            shared << control;
    }
    QCOMPARE(unnamed, QStringList());
    QCOMPARE(shared, QStringList());

    const auto said = [&w](const char *path, QAccessible::Text text) {
        QObject *object = &w;
        for (const QString &name : QString::fromLatin1(path).split(QLatin1Char('/')))
            object = object->findChild<QObject *>(name);
        return QAccessible::queryAccessibleInterface(object)->text(text);
    };
    QCOMPARE(said("lImage", QAccessible::Name), "Tarvo Model 318, front panel");
    QCOMPARE(said("leTcpIpAdress", QAccessible::Name), "Instrument address");
    // Each trigger box's value is the item it shows: its value for UI Automation, and on Linux
    // also its text, which Orca reads (it says "T3 trigger combo box IN2").
    const QStringList items = {"OFF", "IN1", "IN2"};
    for (int channel = 0; channel < 9; ++channel) {
        auto *panel =
            child<ChannelWidget>(w, qPrintable(QStringLiteral("wChannel%1").arg(channel)));
        panel->setTriggerType(channel % 3);
        QAccessibleInterface *box =
            QAccessible::queryAccessibleInterface(child(*panel, "cbTrigger"));
        QCOMPARE(box->text(QAccessible::Value), items.at(channel % 3));
        QAccessibleTextInterface *text = box->textInterface();
        if (QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows) {
            QVERIFY2(!text, "a text pattern would present the box as text to UI Automation");
        } else {
            QVERIFY2(text, qPrintable(panel->objectName()));
            QCOMPARE(text->text(0, text->characterCount()), items.at(channel % 3));
        }
    }
    QCOMPARE(said("wChannel4/sbWidth", QAccessible::Description),
             "Whole nanoseconds from 10 to 1000000");
    QCOMPARE(said("wChannel4/dsbAmplitude", QAccessible::Description), "Volts from 2.00 to 5.00");
    QCOMPARE(said("wFrequency2/sbFrequency", QAccessible::Description),
             "Whole hertz from 1 to 1000000");
}

void tst_Widget::accessibleNamesFollowIndex_data()
{
    QTest::addColumn<bool>("channelPanel");
    QTest::addColumn<QList<int>>("indices"); // given in turn
    QTest::addColumn<QStringList>(
        "names"); // of the panel's controls, as a screen reader finds them

    const auto channel = [](const char *t) {
        QStringList names;
        for (const char *quantity : {"trigger", "width (ns)", "amplitude (V)", "delay (ps)"}) {
            const QString what = QLatin1String(t) + QLatin1Char(' ') + QLatin1String(quantity);
            names << what << QLatin1String("Set ") + what.section(QLatin1String(" ("), 0, 0)
                  << QLatin1String("Get ") + what.section(QLatin1String(" ("), 0, 0);
        }
        return names;
    };
    QTest::newRow("channel panel never given an index") << true << QList<int>() << channel("T0");
    QTest::newRow("channel panel given 3") << true << QList<int>{3} << channel("T3");
    QTest::newRow("channel panel given 3, then 8") << true << QList<int>{3, 8} << channel("T8");
    QTest::newRow("frequency panel never given an index")
        << false << QList<int>()
        << QStringList{"Frequency 1 (Hz)", "Set frequency 1", "Get frequency 1"};
    QTest::newRow("frequency panel given 2, then 1")
        << false << QList<int>{2, 1}
        << QStringList{"Frequency 1 (Hz)", "Set frequency 1", "Get frequency 1"};
    QTest::newRow("frequency panel given 2")
        << false << QList<int>{2}
        << QStringList{"Frequency 2 (Hz)", "Set frequency 2", "Get frequency 2"};
}

// A panel learns its index after it is made, and may be told again: its names follow.
void tst_Widget::accessibleNamesFollowIndex()
{
    QFETCH(bool, channelPanel);
    QFETCH(QList<int>, indices);
    QFETCH(QStringList, names);

    ChannelWidget channel;
    FrequencyWidget frequency;
    QWidget &panel = channelPanel ? static_cast<QWidget &>(channel) : frequency;
    for (int index : indices) {
        if (channelPanel)
            channel.setChannelIndex(index);
        else
            frequency.setChannelIndex(index);
    }
    QStringList shown;
    for (const QString &control : controlsAsRead(&panel))
        shown << control.section(QLatin1Char('|'), 1);
    shown.sort();
    names.sort();
    QCOMPARE(shown, names);
}

QTEST_MAIN(tst_Widget)
#include "tst_widget.moc"

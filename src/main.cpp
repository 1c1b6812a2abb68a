// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    // The menu entry is org.tarvo.dg318.desktop: on Wayland this is the window's app id, by
    // which the desktop finds the entry's name and icon for the dock and the task switcher.
    // On X11 the entry's StartupWMClass names the window's class ("dg318") instead.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.tarvo.dg318"));
    Widget w;
    w.show();
    return a.exec();
}

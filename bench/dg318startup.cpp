// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "firstpaint.h"
#include "widget.h"

#include <QApplication>

// The program's own start (src/main.cpp), ending after the window's first paint.
int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    Widget w;
    FirstPaint firstPaint(&w);
    w.show();
    return a.exec();
}

// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "firstpaint.h"

#include <QApplication>
#include <QWidget>

// The least a Qt Widgets program shows: one empty window, ending after its first paint.
int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    QWidget w;
    FirstPaint firstPaint(&w);
    w.show();
    return a.exec();
}

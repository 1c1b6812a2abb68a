// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "firstpaint.h"

#include <QApplication>
#include <QLabel>

// An empty window that shows one word: what text alone adds to the start-up
// (font set-up, glyphs), ending after its first paint.
int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    QLabel w(QStringLiteral("Connect"));
    FirstPaint firstPaint(&w);
    w.show();
    return a.exec();
}

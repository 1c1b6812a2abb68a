// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <QObject>

class QWidget;

// Ends the program once its window has been painted for the first time and
// prints, on standard output, the nanoseconds since the benchmark started the
// process (DG318_BENCH_START_NS, a steady-clock time) and the peak resident
// memory up to then:
//     startup-ns 81234567
//     peak-kib 41234
class FirstPaint : public QObject
{
public:
    explicit FirstPaint(QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void report();

    bool painted = false;
};

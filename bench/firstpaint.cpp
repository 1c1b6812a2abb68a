// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "firstpaint.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <utility>

namespace {

// The process's peak resident memory, as the kernel counts it for this image
// (getrusage would report the benchmark's own peak, kept across exec).
qint64 peakResidentKib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    // readAll(), not atEnd(): the kernel gives /proc files no size.
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLongLong();
    }
    return -1;
}

} // namespace

FirstPaint::FirstPaint(QWidget *window)
{
    window->installEventFilter(this);
}

bool FirstPaint::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint && !std::exchange(painted, true)) {
        // The window paints itself before its children: report once all of
        // them are done and the picture has been flushed.
        QMetaObject::invokeMethod(this, &FirstPaint::report, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void FirstPaint::report()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    bool ok = false;
    const qint64 startNs = qEnvironmentVariable("DG318_BENCH_START_NS").toLongLong(&ok);
    if (ok)
        std::printf("startup-ns %lld\n",
                    qint64(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count())
                        - startNs);
    std::printf("peak-kib %lld\n", peakResidentKib());
    std::fflush(stdout);
    QCoreApplication::exit(ok ? 0 : 1);
}

// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef UPDATESWEEP_H
#define UPDATESWEEP_H

#include <QString>

#include <limits>
#include <optional>

// When Update data stops: the read-backs go out one after the other, and each rule below may
// give the window back before the list ends, with a log line that says why.
class UpdateSweep
{
public:
    static constexpr qint64 never = std::numeric_limits<qint64>::max();

    // What became of one read-back.
    struct ReadBack
    {
        bool replied = false;  // its reply was taken
        bool heldBack = false; // not sent: a reply to an earlier query may still come
        bool unanswered = false;
        bool heard = false; // the instrument sent something, even if not the reply
        int lateLines = 0;  // lines heard that may have been replies owed
    };

    UpdateSweep(qint64 now, int readBacks);

    // Every wait of the sweep ends by this time: the window is given back within 20 s, and
    // within 10 s once replies have come late.
    qint64 deadline() const
    {
        return qMin(limitSet ? sweepLimit : never, lateLines > 0 ? lateBudget : never);
    }
    // Before the next read-back: the log line that stops the sweep, if it stops.
    std::optional<QString> stopBefore(qint64 now) const;
    // After one: the log line that stops the sweep, if it stops.
    std::optional<QString> after(const ReadBack &readBack, qint64 now);
    int left() const { return total - done; }
    void started() { ++done; }

private:
    int total;
    int done = 0;
    int unheardInARow = 0;
    int lateLines = 0;
    qint64 lateBudget;
    qint64 sweepLimit;
    bool limitSet = false;
};

#endif // UPDATESWEEP_H

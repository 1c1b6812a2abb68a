// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#ifndef LINEFRAMER_H
#define LINEFRAMER_H

#include <QByteArray>
#include <QByteArrayView>

#include <limits>

// Cuts what the instrument sends into lines. Bytes wait in the inbox until the link takes them
// in; a line is taken up to its line end, which is LF, CR, or CR LF or LF CR taken as one:
// instruments and the serial bridges in front of them end their lines in all these ways. Text
// without a line end waits as the unfinished line; whether it is a line of its own once the
// instrument has paused is the link's to decide.
class LineFramer
{
public:
    // No reply of the instrument comes near this; anything longer is noise.
    static constexpr qsizetype maxLineBytes = 64 * 1024;
    // Text without a line end is a whole line once nothing has followed it for this long; an
    // instrument still sending one byte at a time, even over a slow serial bridge, is far quicker.
    static constexpr qint64 pauseMs = 100;

    // A new connection: nothing of the old one's stream is left.
    void reset() { *this = LineFramer(); }
    void received(QByteArrayView bytes) { inbox.append(bytes.data(), bytes.size()); }
    // How much more the inbox takes: the rest stays with the system, as in a full socket buffer.
    qsizetype room() const { return qMax<qsizetype>(0, maxLineBytes - inbox.size()); }

    // Moves the inbox into the unfinished line, up to the end of that line; returns whether it
    // has ended. `heard`: bytes were there; `dropped` counts those beyond maxLineBytes.
    bool takeIn(qint64 now, bool &heard, qint64 &dropped);
    bool hasUnfinished() const { return !unfinished.isEmpty(); }
    QByteArray takeLine();
    // A prompt at the start of the unfinished line ("> ", "# "): text an instrument or a bridge
    // puts before its lines, or alone while it waits for the next one. Its length, or 0.
    qsizetype promptLength() const;
    // Drops the prompt; what follows it stays unfinished.
    void dropPrompt();
    // Where the line taken last began in the connection's stream, counted in bytes.
    qint64 lineStart() const { return takenLineStart; }
    // The instrument has sent nothing for pauseMs since the link last took bytes in.
    bool paused(qint64 now) const { return now >= quietFrom; }

    // Where the first line in `bytes` ends: its length with its line end; -1 while none has come.
    static qsizetype lineLength(QByteArrayView bytes);

private:
    QByteArray inbox;
    QByteArray unfinished;
    qint64 taken = 0; // bytes taken in from the inbox on this connection
    qint64 unfinishedStart = 0;
    qint64 takenLineStart = 0;
    qint64 quietFrom = std::numeric_limits<qint64>::min();
};

#endif // LINEFRAMER_H

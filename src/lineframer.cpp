// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "lineframer.h"

#include <algorithm>
#include <utility>

qsizetype LineFramer::lineLength(QByteArrayView bytes)
{
    const auto isLineEnd = [](char c) { return c == '\r' || c == '\n'; };
    const auto end = std::find_if(bytes.begin(), bytes.end(), isLineEnd);
    if (end == bytes.end())
        return -1;
    const qsizetype at = end - bytes.begin();
    const bool pair = at + 1 < bytes.size() && isLineEnd(bytes[at + 1]) && bytes[at + 1] != *end;
    return at + (pair ? 2 : 1);
}

bool LineFramer::takeIn(qint64 now, bool &heard, qint64 &dropped)
{
    if (inbox.isEmpty())
        return false;
    heard = true;
    quietFrom = now + pauseMs;
    const qsizetype length = lineLength(inbox);
    const qsizetype count = length < 0 ? inbox.size() : length;
    if (unfinished.isEmpty())
        unfinishedStart = taken;
    taken += count;
    const qsizetype space = qMax<qsizetype>(0, maxLineBytes - unfinished.size());
    unfinished.append(inbox.constData(), qMin(count, space));
    dropped += qMax<qsizetype>(0, count - space);
    inbox.remove(0, count);
    return length >= 0;
}

QByteArray LineFramer::takeLine()
{
    takenLineStart = unfinishedStart;
    return std::exchange(unfinished, QByteArray());
}

qsizetype LineFramer::promptLength() const
{
    // No reply, identity or answer of the instrument begins with one of these; the white space
    // behind them is the prompt's too.
    const auto isPromptCharacter = [](char c) {
        return c == '>' || c == '#' || c == '$' || c == '%';
    };
    const auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
    const auto marks = std::find_if_not(unfinished.cbegin(), unfinished.cend(), isPromptCharacter);
    if (marks == unfinished.cbegin())
        return 0;
    return std::find_if_not(marks, unfinished.cend(), isSpace) - unfinished.cbegin();
}

void LineFramer::dropPrompt()
{
    const qsizetype length = promptLength();
    unfinishedStart += length;
    unfinished.remove(0, length);
}

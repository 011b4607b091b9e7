// What the program accepts of the service's state reply, decided before
// anything of it is applied: a wrong reply changes nothing.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace StateReply {

// A larger body is refused unread.
inline constexpr qint64 maxBytes = 1024 * 1024;

// The state reply carries the session; the version reply only the offer.
enum class Kind { State, Version };

// Parses `body` into `reply`; returns why it cannot be applied, or an empty
// text when it can. The reason names a member, never a value: a sid or a
// user name has no place in the log.
QString check(const QByteArray &body, QJsonObject *reply, Kind kind = Kind::State);

// After a report failed for a network reason: 2 s, doubling up to the
// report period.
int nextRetryDelayMs(int previousMs);

} // namespace StateReply

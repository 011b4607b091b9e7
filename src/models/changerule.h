// The change rule of every setter and update slot: store and notify only a
// real change, and say whether there was one.
#pragma once

#include <QObject>

namespace ChangeRule {

// `changed` is the property's notify signal (declared by the owner's class
// or a base); it carries the stored value.
// Doubles compare with ==, so a NaN always counts as a change.
template<typename Owner, typename Declarer, typename T, typename Arg>
bool apply(Owner *owner, T &member, const T &value, void (Declarer::*changed)(Arg))
{
    if (value == member)
        return false;
    member = value;
    emit(owner->*changed)(member);
    return true;
}

} // namespace ChangeRule

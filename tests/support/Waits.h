#pragma once
// Waits on conditions, never on the clock. A check that something does not happen cannot wait
// for it; it waits instead for an event that shows the system has gone past the point where it
// would have happened (a log line, a counter, a file gone, bytes left in the kernel) and requires
// the quiet condition to hold all the while.
#include <QtTest>

namespace swn::test {

// Runs the event loop until `passed` holds, for `deadlineMs` at most. True when `passed` came and
// `quiet` held at every look before it and still holds after it; false as soon as `quiet` fails,
// and at the deadline.
template <typename Quiet, typename Passed>
bool QuietUntil(Quiet quiet, Passed passed, int deadlineMs)
{
    bool broken = false;
    const bool came = QTest::qWaitFor([&] {
        broken = !quiet();
        return broken || passed();
    }, deadlineMs);
    return came && !broken && quiet();
}

// A condition that holds once `condition` has held and the event loop has run `passes` more
// passes since (each delivers what is ready then: a readable socket whose notifier is on, a posted
// event). For QuietUntil, when the proof is "it could have happened, and nothing took it up".
template <typename Condition>
auto AndThenPasses(Condition condition, int passes = 3)
{
    return [condition, passes, seen = -1]() mutable {
        if (seen < 0 && condition())
            seen = 0;
        return seen >= 0 && seen++ >= passes;
    };
}

} // namespace swn::test

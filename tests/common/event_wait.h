#pragma once

// Waiting for a condition while the event loop runs, without sleeping.
//
// QTest::qWait, QTest::qWaitFor and the QTRY_* macros sleep 10 ms between turns of the event
// loop. A stand-in that lives in the test's own process answers only on those turns, so every
// message exchanged with it costs up to 10 ms there. run_until blocks in the event loop
// instead, and the loop wakes for every byte that arrives.

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <chrono>

namespace quillmar::test {

// How often run_until looks at its condition between the events that wake the loop, unless
// the caller asks for another interval (for a costly condition, such as one that runs a
// program).
inline constexpr std::chrono::milliseconds run_until_look{1};
static_assert(run_until_look.count() > 0 && run_until_look.count() <= 10,
              "The condition is looked at often, and never without a pause.");

// Runs the event loop until `done()` holds or `timeout_ms` have passed; whether it holds.
template <typename Condition>
bool run_until(Condition&& done, int timeout_ms,
               std::chrono::milliseconds look_every = run_until_look) {
    if (done()) {
        return true;
    }
    QEventLoop loop;
    QTimer look;
    look.setTimerType(Qt::PreciseTimer);
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    QTimer::singleShot(timeout_ms, &loop, &QEventLoop::quit);
    look.start(look_every);
    loop.exec();
    return done();
}

} // namespace quillmar::test

// QTRY_VERIFY_WITH_TIMEOUT and QTRY_COMPARE_WITH_TIMEOUT, waiting with run_until: the
// condition is waited for, then checked with QVERIFY or QCOMPARE, whose failure messages show
// what was expected and what was there.
#define VORTAN_TRY_VERIFY(condition, timeout_ms)                                                   \
    do {                                                                                           \
        ::quillmar::test::run_until([&] { return static_cast<bool>(condition); }, timeout_ms);     \
        QVERIFY(condition);                                                                        \
    } while (false)

#define VORTAN_TRY_COMPARE(actual, expected, timeout_ms)                                           \
    do {                                                                                           \
        ::quillmar::test::run_until([&] { return (actual) == (expected); }, timeout_ms);           \
        QCOMPARE(actual, expected);                                                                \
    } while (false)

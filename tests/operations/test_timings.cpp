// The durations the tool waits for by default; the tests run with shorter ones.

#include "timings.h"

#include <QTest>

using namespace std::chrono_literals;

class test_timings : public QObject {
    Q_OBJECT

private slots:
    void real_defaults() {
        const timings defaults;
        QCOMPARE(defaults.answer, 5000ms);
        QCOMPARE(defaults.export_watch, 5000ms);
        QCOMPARE(defaults.update_hint, 10000ms);
        QCOMPARE(defaults.update_verdict, std::chrono::milliseconds{5min});
    }
};

QTEST_APPLESS_MAIN(test_timings)
#include "test_timings.moc"

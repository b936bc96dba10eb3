// The durations the tool runs with. Tests shorten them; these are the ones a user meets.

#include "reader.h"
#include "timings.h"
#include "writer.h"

#include <QtTest>

#include <chrono>

// A new field needs its row below.
static_assert(sizeof(timings) == 5 * sizeof(std::chrono::milliseconds),
              "Every duration of the timings has its row in the table of real defaults.");

class test_timings : public QObject {
    Q_OBJECT

private slots:
    void real_defaults_data() {
        QTest::addColumn<qint64>("actual");
        QTest::addColumn<qint64>("expected");
        const timings real;
        QTest::newRow("an answer to a request within 5 s")
            << qint64{real.answer.count()} << qint64{5000};
        QTest::newRow("a begun export ends within 5 s")
            << qint64{real.export_watch.count()} << qint64{5000};
        QTest::newRow("LOOK AT VORTAN stays 10 s")
            << qint64{real.update_hint.count()} << qint64{10000};
        QTest::newRow("the update's verdict within 5 min")
            << qint64{real.update_verdict.count()} << qint64{300000};
        QTest::newRow("the link's debug lines every 5 s")
            << qint64{real.link_log.count()} << qint64{5000};
        // The writer and the reader, until they are given the window's durations.
        QTest::newRow("the writer's own write time-out is the link's")
            << qint64{writer_t().log_interval().count()} << qint64{real.link_log.count()};
        QTest::newRow("the reader's own periodic line is the link's")
            << qint64{reader_t().log_interval().count()} << qint64{real.link_log.count()};
    }

    void real_defaults() {
        QFETCH(qint64, actual);
        QFETCH(qint64, expected);
        QCOMPARE(actual, expected);
    }
};

QTEST_GUILESS_MAIN(test_timings)
#include "test_timings.moc"

// The tool's one logging category, "vortan", as a user meets it: a release build prints its
// warnings and none of its debug lines unless QT_LOGGING_RULES turns them on; a debug build
// prints both. Each case runs the probe program (log_probe.cpp) in an environment of its own.

#include "vortan_log.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QtTest>

namespace {

constexpr bool release_build =
#ifdef NDEBUG
    true;
#else
    false;
#endif

// Qt's default message pattern leads every line with its category.
const QString debug_line = QStringLiteral("vortan: No bytes written");
const QString warning_line = QStringLiteral("vortan: log probe warning");

} // namespace

class test_log_category : public QObject {
    Q_OBJECT

private slots:
    void lines_printed_data() {
        QTest::addColumn<QString>("rules"); // QT_LOGGING_RULES; empty: not set
        QTest::addColumn<bool>("debug_printed");
        QTest::newRow("no rule") << QString() << !release_build;
        QTest::newRow("vortan.debug=true") << QStringLiteral("vortan.debug=true") << true;
        QTest::newRow("vortan.debug=false") << QStringLiteral("vortan.debug=false") << false;
        // Qt's own rules leave the tool's category as it is.
        QTest::newRow("qt.*.debug=true") << QStringLiteral("qt.*.debug=true") << !release_build;
    }
    void lines_printed() {
        QFETCH(QString, rules);
        QFETCH(bool, debug_printed);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QT_LOGGING_RULES"));
        environment.remove(QStringLiteral("QT_LOGGING_CONF"));
        environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
        if (!rules.isEmpty()) {
            environment.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
        }
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.start(QStringLiteral(LOG_PROBE_PATH), QStringList());
        QVERIFY2(probe.waitForFinished(30000), qPrintable(probe.errorString()));
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), 0);
        const QStringList lines =
            QString::fromLocal8Bit(probe.readAllStandardError()).split(QLatin1Char('\n'));
        QVERIFY2(lines.contains(debug_line) == debug_printed, qPrintable(lines.join('|')));
        QVERIFY2(lines.contains(warning_line), qPrintable(lines.join('|')));
    }

    // The category's name, and its default as the build sets it, seen in this process.
    void category_in_process() {
        QCOMPARE(QString::fromLatin1(quillmar::vortan_log().categoryName()),
                 QStringLiteral("vortan"));
        QVERIFY(quillmar::vortan_log().isWarningEnabled());
        if (!qEnvironmentVariable("QT_LOGGING_RULES").contains(QLatin1String("vortan"))) {
            QCOMPARE(quillmar::vortan_log().isDebugEnabled(), !release_build);
        }
    }
};

QTEST_GUILESS_MAIN(test_log_category)
#include "test_log_category.moc"

// vortan-cli as a user runs it: the real program in its own process, against the stand-in
// synthesizer on a pseudo-terminal, with a temporary data folder.

#include "backup_store.h"
#include "synthesizer.h"
#include "test_env.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int run_timeout_ms = 120000;
// The shortened answer watch the program reads from VORTAN_CLI_ANSWER_MS.
constexpr int short_answer_ms = 300;

struct cli_result {
    int exit_code = -1;
    QString out;
    QString err;
};

// Counts the regular files below `folder`.
int files_below(const QString& folder) {
    int count = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

} // namespace

class tst_cli : public QObject {
    Q_OBJECT

    // Runs vortan-cli with `arguments` to its end while the event loop (and so the stand-in)
    // keeps running.
    cli_result run_cli(const QStringList& arguments, const QByteArray& input = {}) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VORTAN_CLI_ANSWER_MS"),
                           QString::number(short_answer_ms));
        process.setProcessEnvironment(environment);
        QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/vortan-cli"),
                      arguments);
        if (!input.isEmpty()) {
            process.write(input);
        }
        process.closeWriteChannel();
        cli_result result;
        if (!finished.wait(run_timeout_ms)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

private slots:
    void initTestCase() { qRegisterMetaType<QProcess::ExitStatus>(); }

    void backup_writes_every_preset_and_prints_the_folder() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());

        const cli_result r = run_cli({QStringLiteral("backup"), QStringLiteral("--port"),
                                      synth.port_path(), QStringLiteral("--data"), data.path()});
        QCOMPARE(r.exit_code, 0);
        const QString folder = r.out.trimmed();
        QVERIFY2(!folder.contains(QLatin1Char('\n')), qPrintable(r.out));
        QCOMPARE(QFileInfo(folder).absolutePath(),
                 QDir(data.path()).filePath(QStringLiteral("datesaves")));
        QVERIFY(QFileInfo(folder).isDir());
        QCOMPARE(files_below(folder), 256);
        QVERIFY2(r.err.contains(QStringLiteral("WORK IN PROGRESS 256/256")), qPrintable(r.err));
        QVERIFY(r.err.contains(QStringLiteral("BACKUP SUCCEEDED")));
    }

    void quiet_backup_prints_no_progress() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());

        const cli_result r =
            run_cli({QStringLiteral("backup"), QStringLiteral("-q"), QStringLiteral("--port"),
                     synth.port_path(), QStringLiteral("--data"), data.path()});
        QCOMPARE(r.exit_code, 0);
        QVERIFY2(!r.err.contains(QStringLiteral("WORK IN PROGRESS")), qPrintable(r.err));
    }

    void a_silent_synthesizer_fails_the_backup_and_leaves_no_folder() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        synth.set_silent(true);
        QTemporaryDir data;
        QVERIFY(data.isValid());

        const cli_result r = run_cli({QStringLiteral("backup"), QStringLiteral("--port"),
                                      synth.port_path(), QStringLiteral("--data"), data.path()});
        QCOMPARE(r.exit_code, 1);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains(QStringLiteral("ERROR BACKUP FAILED")), qPrintable(r.err));
        const QStringList left = QDir(QDir(data.path()).filePath(QStringLiteral("datesaves")))
                                     .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(','))));
    }

    void a_backup_that_stops_midway_is_marked_and_fails() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        // Index 10's request is the eleventh message; the synthesizer is gone before it.
        synth.vanish_after_messages(11);
        QTemporaryDir data;
        QVERIFY(data.isValid());

        const cli_result r = run_cli({QStringLiteral("backup"), QStringLiteral("--port"),
                                      synth.port_path(), QStringLiteral("--data"), data.path()});
        QCOMPARE(r.exit_code, 1);
        QVERIFY(r.out.isEmpty());
        const QStringList left = QDir(QDir(data.path()).filePath(QStringLiteral("datesaves")))
                                     .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(left.size(), 1);
        QVERIFY2(quillmar::is_incomplete_backup_name(left.first()), qPrintable(left.first()));
    }

    void a_port_that_does_not_open_exits_3() {
        QTemporaryDir data;
        QVERIFY(data.isValid());
        const cli_result r = run_cli({QStringLiteral("backup"), QStringLiteral("--port"),
                                      data.filePath(QStringLiteral("ttyNONE")),
                                      QStringLiteral("--data"), data.path()});
        QCOMPARE(r.exit_code, 3);
        QVERIFY2(r.err.contains(QStringLiteral("PORT ERROR: CANNOT OPEN")), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
    }

    void usage_and_help_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("stdout_has");
        QTest::newRow("no command") << QStringList{} << 2 << QString();
        QTest::newRow("unknown command") << QStringList{QStringLiteral("fly")} << 2 << QString();
        QTest::newRow("program help")
            << QStringList{QStringLiteral("--help")} << 0 << QStringLiteral("backup");
        QTest::newRow("command help")
            << QStringList{QStringLiteral("backup"), QStringLiteral("--help")} << 0
            << QStringLiteral("--port");
        QTest::newRow("unknown option")
            << QStringList{QStringLiteral("backup"), QStringLiteral("--colour")} << 2 << QString();
        QTest::newRow("option without its value")
            << QStringList{QStringLiteral("backup"), QStringLiteral("--port")} << 2 << QString();
        QTest::newRow("stray argument")
            << QStringList{QStringLiteral("backup"), QStringLiteral("extra")} << 2 << QString();
    }
    void usage_and_help() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exit_code);
        QFETCH(QString, stdout_has);
        const cli_result r = run_cli(arguments);
        QCOMPARE(r.exit_code, exit_code);
        if (!stdout_has.isEmpty()) {
            QVERIFY2(r.out.contains(stdout_has), qPrintable(r.out));
        } else {
            QVERIFY2(r.out.isEmpty(), qPrintable(r.out));
            QVERIFY(!r.err.isEmpty());
        }
    }
};

VORTAN_TEST_MAIN(tst_cli)
#include "tst_cli.moc"

// vortan-cli as a user runs it: the real program in its own process, against the stand-in
// synthesizer on a pseudo-terminal, with a temporary data folder.

#include "backup_store.h"
#include "preset_text.h"
#include "pty_pair.h"
#include "synthesizer.h"
#include "test_env.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

constexpr int run_timeout_ms = 120000;
// The shortened answer watch the program reads from VORTAN_CLI_ANSWER_MS: short enough for
// the silent synthesizer, long enough for a busy machine.
constexpr int short_answer_ms = 1000;

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
    cli_result run_cli(const QStringList& arguments, const QByteArray& input = {},
                       const QString& terminal = {}) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VORTAN_CLI_ANSWER_MS"),
                           QString::number(short_answer_ms));
        process.setProcessEnvironment(environment);
        if (!terminal.isEmpty()) {
            process.setStandardInputFile(terminal);
        }
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

    // A complete backup of `synth` into `data`, renamed to `name`; its path.
    QString backup_as(quillmar::standin::synthesizer& synth, const QString& data,
                      const QString& name) {
        const cli_result r = run_cli({QStringLiteral("backup"), QStringLiteral("--port"),
                                      synth.port_path(), QStringLiteral("--data"), data});
        if (r.exit_code != 0) {
            return QString();
        }
        const QString renamed = QDir(quillmar::backup_root(data)).filePath(name);
        return QDir().rename(r.out.trimmed(), renamed) ? renamed : QString();
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

    void backups_lists_oldest_first_with_counts_and_marks() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());
        QVERIFY(!backup_as(synth, data.path(), QStringLiteral("21_03_04_05_06")).isEmpty());
        // A failed backup's folder holding one preset file that does not parse.
        const QString marked = QDir(quillmar::backup_root(data.path()))
                                   .filePath(QStringLiteral("20_01_02_03_04 INCOMPLETE"));
        QVERIFY(QDir().mkpath(marked + QStringLiteral("/BANK A")));
        QFile damaged(marked + QStringLiteral("/BANK A/000.Broken.txt"));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("id: 0\nosc { fine: ");
        damaged.close();

        const cli_result r = run_cli({QStringLiteral("backups"), QStringLiteral("--json"),
                                      QStringLiteral("--data"), data.path()});
        QCOMPARE(r.exit_code, 0);
        const QJsonArray list = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QCOMPARE(list.size(), 2);
        const QJsonObject older = list.at(0).toObject();
        QCOMPARE(older.value(QStringLiteral("name")).toString(),
                 QStringLiteral("20_01_02_03_04 INCOMPLETE"));
        QCOMPARE(older.value(QStringLiteral("date")).toString(),
                 QStringLiteral("2020-01-02 03:04"));
        QCOMPARE(older.value(QStringLiteral("presets")).toInt(), 0);
        QCOMPARE(older.value(QStringLiteral("damaged")).toInt(), 1);
        QCOMPARE(older.value(QStringLiteral("incomplete")).toBool(), true);
        const QJsonObject newer = list.at(1).toObject();
        QCOMPARE(newer.value(QStringLiteral("name")).toString(), QStringLiteral("21_03_04_05_06"));
        QCOMPARE(newer.value(QStringLiteral("presets")).toInt(), 256);
        QCOMPARE(newer.value(QStringLiteral("damaged")).toInt(), 0);
        QCOMPARE(newer.value(QStringLiteral("incomplete")).toBool(), false);

        const cli_result text =
            run_cli({QStringLiteral("backups"), QStringLiteral("--data"), data.path()});
        QCOMPARE(text.exit_code, 0);
        const QStringList lines = text.out.trimmed().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(0).endsWith(QStringLiteral("INCOMPLETE")), qPrintable(lines.at(0)));
        QVERIFY2(lines.at(1).contains(QStringLiteral("256 PRESETS")), qPrintable(lines.at(1)));
    }

    void show_lists_a_folder_and_prints_one_preset() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());
        const QString folder = backup_as(synth, data.path(), QStringLiteral("21_03_04_05_06"));
        QVERIFY(!folder.isEmpty());

        const cli_result listing =
            run_cli({QStringLiteral("show"), QStringLiteral("21_03_04_05_06"),
                     QStringLiteral("--data"), data.path()});
        QCOMPARE(listing.exit_code, 0);
        QCOMPARE(listing.out.count(QLatin1Char('\n')), 256);

        // By path, one preset: its text as the backup holds it.
        const cli_result one = run_cli({QStringLiteral("show"), folder, QStringLiteral("77")});
        QCOMPARE(one.exit_code, 0);
        QCOMPARE(one.out.toStdString(), print_preset(quillmar::standin::make_factory_preset(77)));

        QCOMPARE(run_cli({QStringLiteral("show"), folder, QStringLiteral("300")}).exit_code, 1);
        QCOMPARE(run_cli({QStringLiteral("show"), QStringLiteral("99_99_99_99_99"),
                          QStringLiteral("--data"), data.path()})
                     .exit_code,
                 1);
        QCOMPARE(run_cli({QStringLiteral("show"), folder, QStringLiteral("seven")}).exit_code, 2);
    }

    void restore_sends_the_chosen_folder_byte_for_byte() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());
        std::vector<QByteArray> factory;
        for (int slot = 0; slot < 256; ++slot) {
            factory.push_back(synth.preset_bytes(slot).value_or(QByteArray()));
        }
        QVERIFY(!backup_as(synth, data.path(), QStringLiteral("20_01_01_00_00")).isEmpty());
        // The latest backup differs in one preset.
        proto::Preset changed = quillmar::standin::make_factory_preset(7);
        changed.set_name("Changed Later");
        synth.set_preset(7, changed);
        QVERIFY(!backup_as(synth, data.path(), QStringLiteral("21_01_01_00_00")).isEmpty());

        synth.forget_presets();
        const cli_result older = run_cli(
            {QStringLiteral("restore"), QStringLiteral("20_01_01_00_00"), QStringLiteral("--yes"),
             QStringLiteral("--port"), synth.port_path(), QStringLiteral("--data"), data.path()});
        QCOMPARE(older.exit_code, 0);
        QVERIFY2(older.err.contains(QStringLiteral("IMPORT TO VORTAN: THIS ACTION WILL OVERWRITE "
                                                   "THE PRESETS IN VORTAN")),
                 qPrintable(older.err));
        QVERIFY(older.err.contains(QStringLiteral("RESTORE SUCCEEDED")));
        for (int slot = 0; slot < 256; ++slot) {
            QCOMPARE(synth.preset_bytes(slot).value_or(QByteArray()), factory[slot]);
        }

        // Without a folder: the latest backup.
        synth.forget_presets();
        QCOMPARE(
            run_cli({QStringLiteral("restore"), QStringLiteral("--yes"), QStringLiteral("--port"),
                     synth.port_path(), QStringLiteral("--data"), data.path()})
                .exit_code,
            0);
        QCOMPARE(synth.preset(7).value_or(proto::Preset()).name(), std::string("Changed Later"));
        QCOMPARE(synth.preset_count(), 256);
    }

    void diff_names_the_fields_that_differ() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());
        proto::Preset sequenced = quillmar::standin::make_factory_preset(9);
        while (sequenced.sequencer().note_settings_size() < 2) {
            sequenced.mutable_sequencer()->add_note_settings();
        }
        sequenced.mutable_sequencer()->mutable_note_settings(1)->set_gate(0.25F);
        synth.set_preset(9, sequenced);
        QVERIFY(!backup_as(synth, data.path(), QStringLiteral("20_01_01_00_00")).isEmpty());
        proto::Preset renamed = quillmar::standin::make_factory_preset(7);
        renamed.set_name("Renamed");
        synth.set_preset(7, renamed);
        sequenced.mutable_sequencer()->mutable_note_settings(1)->set_gate(0.75F);
        synth.set_preset(9, sequenced);
        synth.remove_preset(20);
        QVERIFY(!backup_as(synth, data.path(), QStringLiteral("20_01_01_00_01")).isEmpty());

        QCOMPARE(run_cli({QStringLiteral("diff"), QStringLiteral("20_01_01_00_00"),
                          QStringLiteral("20_01_01_00_00"), QStringLiteral("--data"), data.path()})
                     .exit_code,
                 0);
        const cli_result r = run_cli({QStringLiteral("diff"), QStringLiteral("20_01_01_00_00"),
                                      QStringLiteral("20_01_01_00_01"), QStringLiteral("--json"),
                                      QStringLiteral("--data"), data.path()});
        QCOMPARE(r.exit_code, 1);
        const QJsonObject result = QJsonDocument::fromJson(r.out.toUtf8()).object();
        QCOMPARE(result.value(QStringLiteral("same")).toBool(true), false);
        const QJsonArray presets = result.value(QStringLiteral("presets")).toArray();
        QCOMPARE(presets.size(), 3);
        const auto change_of = [](const QJsonValue& entry) {
            return entry.toObject().value(QStringLiteral("changes")).toArray().at(0).toObject();
        };
        QCOMPARE(presets.at(0).toObject().value(QStringLiteral("id")).toInt(), 7);
        QCOMPARE(change_of(presets.at(0)).value(QStringLiteral("path")).toString(),
                 QStringLiteral("name"));
        QCOMPARE(change_of(presets.at(0)).value(QStringLiteral("b")).toString(),
                 QStringLiteral("\"Renamed\""));
        QCOMPARE(presets.at(1).toObject().value(QStringLiteral("id")).toInt(), 9);
        QCOMPARE(change_of(presets.at(1)).value(QStringLiteral("path")).toString(),
                 QStringLiteral("sequencer.note_settings[1].gate"));
        QCOMPARE(change_of(presets.at(1)).value(QStringLiteral("a")).toString(),
                 QStringLiteral("0.25"));
        QCOMPARE(presets.at(2).toObject().value(QStringLiteral("id")).toInt(), 20);
        QCOMPARE(presets.at(2).toObject().value(QStringLiteral("only_in")).toString(),
                 QStringLiteral("a"));

        const cli_result text =
            run_cli({QStringLiteral("diff"), QStringLiteral("20_01_01_00_00"),
                     QStringLiteral("20_01_01_00_01"), QStringLiteral("--data"), data.path()});
        QCOMPARE(text.exit_code, 1);
        QVERIFY2(
            text.out.contains(QStringLiteral("009 sequencer.note_settings[1].gate: 0.25 -> 0.75")),
            qPrintable(text.out));
        QVERIFY2(text.out.contains(QStringLiteral("020 ONLY IN A")), qPrintable(text.out));
    }

    void restore_refusals_data() {
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<bool>("refuse_imports");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<bool>("anything_sent");
        QTest::newRow("no terminal and no --yes") << QStringList{} << false << 2 << false;
        QTest::newRow("a marked folder is no backup")
            << QStringList{QStringLiteral("--yes"), QStringLiteral("20_01_01_00_00 INCOMPLETE")}
            << false << 1 << false;
        QTest::newRow("the synthesizer refuses the imports")
            << QStringList{QStringLiteral("--yes")} << true << 1 << true;
    }
    void restore_refusals() {
        QFETCH(QStringList, extra);
        QFETCH(bool, refuse_imports);
        QFETCH(int, exit_code);
        QFETCH(bool, anything_sent);
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());
        QVERIFY(!backup_as(synth, data.path(), QStringLiteral("20_01_01_00_00")).isEmpty());
        QVERIFY(QDir().mkpath(QDir(quillmar::backup_root(data.path()))
                                  .filePath(QStringLiteral("20_01_01_00_00 INCOMPLETE/BANK A"))));
        synth.set_refuse_imports(refuse_imports);
        synth.clear_records();

        const cli_result r =
            run_cli(QStringList{QStringLiteral("restore"), QStringLiteral("--port"),
                                synth.port_path(), QStringLiteral("--data"), data.path()} +
                    extra);
        QCOMPARE(r.exit_code, exit_code);
        QCOMPARE(!synth.messages().empty(), anything_sent);
    }

    void questions_are_answered_on_the_terminal_data() {
        QTest::addColumn<QByteArray>("typed");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<int>("presets_after");
        // Anything but y or n is asked again.
        QTest::newRow("yes after a stray answer") << QByteArray("maybe\ny\n") << 0 << 256;
        QTest::newRow("no") << QByteArray("n\n") << 1 << 0;
    }
    void questions_are_answered_on_the_terminal() {
        QFETCH(QByteArray, typed);
        QFETCH(int, exit_code);
        QFETCH(int, presets_after);
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());
        QVERIFY(!backup_as(synth, data.path(), QStringLiteral("20_01_01_00_00")).isEmpty());
        synth.forget_presets();
        // The program's standard input is a terminal; the answers are typed into its far end.
        quillmar::standin::pty_pair terminal;
        QVERIFY(terminal.valid());
        QCOMPARE(::write(terminal.master(), typed.constData(), static_cast<size_t>(typed.size())),
                 static_cast<ssize_t>(typed.size()));

        const cli_result r = run_cli({QStringLiteral("restore"), QStringLiteral("--port"),
                                      synth.port_path(), QStringLiteral("--data"), data.path()},
                                     {}, terminal.slave_path());
        QVERIFY2(r.exit_code == exit_code, qPrintable(r.err));
        QVERIFY2(r.err.contains(QStringLiteral("OK? [y/n]")), qPrintable(r.err));
        QCOMPARE(synth.preset_count(), presets_after);
    }

    void update_data() {
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<bool>("refuse_request");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<bool>("image_sent");
        QTest::newRow("the build's image, answered with --yes")
            << QStringList{QStringLiteral("--yes")} << false << 0 << true;
        QTest::newRow("no terminal and no --yes") << QStringList{} << false << 2 << false;
        QTest::newRow("the synthesizer refuses the update")
            << QStringList{QStringLiteral("--yes")} << true << 1 << false;
        QTest::newRow("a damaged image is never announced")
            << QStringList{QStringLiteral("--yes"), QStringLiteral("--image"),
                           QStringLiteral("DAMAGED")}
            << false << 1 << false;
        QTest::newRow("a missing image")
            << QStringList{QStringLiteral("--yes"), QStringLiteral("--image"),
                           QStringLiteral("MISSING")}
            << false << 1 << false;
    }
    void update() {
        QFETCH(QStringList, extra);
        QFETCH(bool, refuse_request);
        QFETCH(int, exit_code);
        QFETCH(bool, image_sent);
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        synth.set_refuse_update_request(refuse_request);
        QTemporaryDir data;
        QVERIFY(data.isValid());
        QFile damaged(data.filePath(QStringLiteral("damaged.sys")));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("\xF0\x00\x2B\x17\x00\x04\x0F\xF7");
        damaged.close();
        extra.replaceInStrings(QStringLiteral("DAMAGED"), damaged.fileName());
        extra.replaceInStrings(QStringLiteral("MISSING"),
                               data.filePath(QStringLiteral("none.sys")));

        const cli_result r =
            run_cli(QStringList{QStringLiteral("update"), QStringLiteral("--port"),
                                synth.port_path(), QStringLiteral("--data"), data.path()} +
                    extra);
        QVERIFY2(r.exit_code == exit_code, qPrintable(r.err));
        QCOMPARE(!synth.firmware_image().isEmpty(), image_sent);
        if (exit_code == 0) {
            QVERIFY(r.err.contains(QStringLiteral("NO BACKUP FOUND")));
            QVERIFY(r.err.contains(QStringLiteral("UPDATE SUCCEEDED RESTART THE UNIT")));
        }
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

// vortan-cli as a user runs it: the real program in its own process, against the stand-in
// synthesizer on a pseudo-terminal, with a temporary data folder.

#include "backup_store.h"
#include "preset_files.h"
#include "preset_text.h"
#include "presets_dir.h"
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
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

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

// Writes a backup folder `name` under `data`'s datesaves holding, per entry, a preset with
// that id named "P<id>" in the bank folder the id selects; its path.
QString write_folder(const QString& data, const QString& name, const std::vector<int>& ids) {
    const QString folder = QDir(quillmar::backup_root(data)).filePath(name);
    for (const int id : ids) {
        proto::Preset preset = quillmar::standin::make_factory_preset(id);
        preset.set_id(static_cast<std::uint32_t>(id));
        preset.set_name("P" + std::to_string(id));
        const QString path = preset_file_path(folder, preset);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(QByteArray::fromStdString(print_preset(preset))) < 0) {
            return QString();
        }
    }
    return folder;
}

// The file names in one bank folder of `folder`, in name order.
QStringList bank_files(const QString& folder, const QString& bank) {
    return QDir(QDir(folder).filePath(bank)).entryList(QDir::Files, QDir::Name);
}

// The id written in a preset file.
std::uint32_t id_in_file(const QString& path) {
    QFile file(path);
    const std::optional<proto::Preset> preset = preset_dir::preset_from_text(file);
    return preset ? preset->id() : 9999;
}

} // namespace

class tst_cli : public QObject {
    Q_OBJECT

    // Runs vortan-cli with `arguments` to its end while the event loop (and so the stand-in)
    // keeps running.
    // With `interrupt_from`, the program gets SIGINT (Ctrl-C) once that stand-in has received
    // `interrupt_after` messages.
    cli_result run_cli(const QStringList& arguments, const QByteArray& input = {},
                       const QString& terminal = {},
                       quillmar::standin::synthesizer* interrupt_from = nullptr,
                       int interrupt_after = 0) {
        QProcess process;
        int seen = 0;
        if (interrupt_from != nullptr) {
            connect(interrupt_from, &quillmar::standin::synthesizer::received, &process,
                    [&process, &seen, interrupt_after] {
                        if (++seen == interrupt_after) {
                            ::kill(static_cast<pid_t>(process.processId()), SIGINT);
                        }
                    });
        }
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
        // Not a terminal: only the start and end lines of the progress.
        QCOMPARE(r.err.count(QStringLiteral("WORK IN PROGRESS")), 2);
    }

    // On a terminal the progress redraws one line with its rate and the time left.
    void progress_redraws_one_line_on_a_terminal() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());
        quillmar::standin::pty_pair terminal;
        QVERIFY(terminal.valid());
        QByteArray shown;
        QSocketNotifier readable(terminal.master(), QSocketNotifier::Read);
        connect(&readable, &QSocketNotifier::activated, this, [&terminal, &shown] {
            char buffer[4096];
            const ssize_t got = ::read(terminal.master(), buffer, sizeof buffer);
            if (got > 0) {
                shown.append(buffer, static_cast<int>(got));
            }
        });

        QProcess process;
        process.setStandardErrorFile(terminal.slave_path());
        QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/vortan-cli"),
                      {QStringLiteral("backup"), QStringLiteral("--port"), synth.port_path(),
                       QStringLiteral("--data"), data.path()});
        QVERIFY(finished.wait(run_timeout_ms));
        QCOMPARE(process.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(shown.contains("BACKUP SUCCEEDED"), 10000);
        const QString text = QString::fromUtf8(shown);
        QVERIFY2(text.contains(QStringLiteral("\rWORK IN PROGRESS 256/256")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("/S  ")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral(" LEFT")), qPrintable(text));
        // Every count on the one line: a single line break before the result.
        QCOMPARE(
            text.left(text.indexOf(QStringLiteral("BACKUP SUCCEEDED"))).count(QLatin1Char('\n')),
            1);
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
        // A name beyond ASCII is shown as written, not as escaped bytes.
        renamed.set_name("Épée");
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
                 QString::fromUtf8("\"Épée\""));
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

    // Within a bank and into another: every bank touched is renumbered, files and ids.
    void move_renumbers_the_banks_it_touches() {
        QTemporaryDir data;
        QVERIFY(data.isValid());
        const QString folder =
            write_folder(data.path(), QStringLiteral("20_01_01_00_00"), {0, 1, 2, 3, 64, 65});
        QVERIFY(!folder.isEmpty());
        const QString a = QStringLiteral("BANK A");
        const QString b = QStringLiteral("BANK B");

        QCOMPARE(run_cli({QStringLiteral("move"), QStringLiteral("20_01_01_00_00"),
                          QStringLiteral("A:0"), QStringLiteral("A:2"), QStringLiteral("--data"),
                          data.path()})
                     .exit_code,
                 0);
        QCOMPARE(bank_files(folder, a),
                 (QStringList{QStringLiteral("000.P1.txt"), QStringLiteral("001.P2.txt"),
                              QStringLiteral("002.P0.txt"), QStringLiteral("003.P3.txt")}));
        QCOMPARE(id_in_file(QDir(folder).filePath(QStringLiteral("BANK A/002.P0.txt"))), 2U);

        QCOMPARE(
            run_cli({QStringLiteral("move"), folder, QStringLiteral("a:0"), QStringLiteral("B:1")})
                .exit_code,
            0);
        QCOMPARE(bank_files(folder, a),
                 (QStringList{QStringLiteral("000.P2.txt"), QStringLiteral("001.P0.txt"),
                              QStringLiteral("002.P3.txt")}));
        QCOMPARE(bank_files(folder, b),
                 (QStringList{QStringLiteral("064.P64.txt"), QStringLiteral("065.P1.txt"),
                              QStringLiteral("066.P65.txt")}));
        QCOMPARE(id_in_file(QDir(folder).filePath(QStringLiteral("BANK B/065.P1.txt"))), 65U);

        // No preset there, a place past the target bank's end, a malformed place.
        QCOMPARE(
            run_cli({QStringLiteral("move"), folder, QStringLiteral("A:7"), QStringLiteral("A:0")})
                .exit_code,
            1);
        QCOMPARE(
            run_cli({QStringLiteral("move"), folder, QStringLiteral("A:0"), QStringLiteral("C:5")})
                .exit_code,
            1);
        QCOMPARE(
            run_cli({QStringLiteral("move"), folder, QStringLiteral("E:0"), QStringLiteral("A:0")})
                .exit_code,
            2);
        QCOMPARE(files_below(folder), 6);

        // Into a bank the backup has no folder for yet.
        QCOMPARE(
            run_cli({QStringLiteral("move"), folder, QStringLiteral("A:2"), QStringLiteral("C:0")})
                .exit_code,
            0);
        QCOMPARE(bank_files(folder, a),
                 (QStringList{QStringLiteral("000.P2.txt"), QStringLiteral("001.P0.txt")}));
        QCOMPARE(bank_files(folder, QStringLiteral("BANK C")),
                 QStringList{QStringLiteral("128.P3.txt")});
        QCOMPARE(files_below(folder), 6);

        // A full bank takes no more.
        std::vector<int> full{0};
        for (int id = 64; id < 128; ++id) {
            full.push_back(id);
        }
        const QString crowded = write_folder(data.path(), QStringLiteral("21_01_01_00_00"), full);
        QVERIFY(!crowded.isEmpty());
        QCOMPARE(
            run_cli({QStringLiteral("move"), crowded, QStringLiteral("A:0"), QStringLiteral("B:0")})
                .exit_code,
            1);
        QCOMPARE(bank_files(crowded, QStringLiteral("BANK A")),
                 QStringList{QStringLiteral("000.P0.txt")});
        QCOMPARE(files_below(crowded), 65);
    }

    void rename_moves_the_file_to_the_new_name() {
        QTemporaryDir data;
        QVERIFY(data.isValid());
        const QString folder = write_folder(data.path(), QStringLiteral("20_01_01_00_00"), {0, 1});
        QVERIFY(!folder.isEmpty());
        QCOMPARE(run_cli({QStringLiteral("rename"), folder, QStringLiteral("A:1"),
                          QStringLiteral("New Pad")})
                     .exit_code,
                 0);
        QCOMPARE(bank_files(folder, QStringLiteral("BANK A")),
                 (QStringList{QStringLiteral("000.P0.txt"), QStringLiteral("001.New Pad.txt")}));
        const cli_result shown = run_cli({QStringLiteral("show"), folder, QStringLiteral("1")});
        QVERIFY2(shown.out.contains(QStringLiteral("New Pad")), qPrintable(shown.out));
        QCOMPARE(
            run_cli({QStringLiteral("rename"), folder, QStringLiteral("A:2"), QStringLiteral("X")})
                .exit_code,
            1);
    }

    void delete_removes_only_that_file() {
        QTemporaryDir data;
        QVERIFY(data.isValid());
        const QString folder =
            write_folder(data.path(), QStringLiteral("20_01_01_00_00"), {0, 1, 2});
        QVERIFY(!folder.isEmpty());
        QCOMPARE(run_cli({QStringLiteral("delete"), folder, QStringLiteral("A:1")}).exit_code, 0);
        QCOMPARE(bank_files(folder, QStringLiteral("BANK A")),
                 (QStringList{QStringLiteral("000.P0.txt"), QStringLiteral("002.P2.txt")}));
        QCOMPARE(run_cli({QStringLiteral("delete"), folder, QStringLiteral("A:2")}).exit_code, 1);
        QCOMPARE(run_cli({QStringLiteral("delete"), folder}).exit_code, 2);
        QCOMPARE(run_cli({QStringLiteral("delete"), QStringLiteral("99_99_99_99_99"),
                          QStringLiteral("A:0"), QStringLiteral("--data"), data.path()})
                     .exit_code,
                 1);
        QCOMPARE(files_below(folder), 2);
    }

    void insert_shifts_the_later_presets_up() {
        QTemporaryDir data;
        QVERIFY(data.isValid());
        const QString folder =
            write_folder(data.path(), QStringLiteral("20_01_01_00_00"), {0, 1, 2});
        QVERIFY(!folder.isEmpty());
        proto::Preset fresh = quillmar::standin::make_factory_preset(200);
        fresh.set_name("Fresh");
        const QString text = QDir(data.path()).filePath(QStringLiteral("fresh.txt"));
        {
            QFile file(text);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(QByteArray::fromStdString(print_preset(fresh))) > 0);
        }
        QCOMPARE(run_cli({QStringLiteral("insert"), folder, QStringLiteral("A:1"), text}).exit_code,
                 0);
        QCOMPARE(bank_files(folder, QStringLiteral("BANK A")),
                 (QStringList{QStringLiteral("000.P0.txt"), QStringLiteral("001.Fresh.txt"),
                              QStringLiteral("002.P1.txt"), QStringLiteral("003.P2.txt")}));
        QCOMPARE(id_in_file(QDir(folder).filePath(QStringLiteral("BANK A/001.Fresh.txt"))), 1U);
        QCOMPARE(id_in_file(QDir(folder).filePath(QStringLiteral("BANK A/003.P2.txt"))), 3U);
        // Past the bank's end, and a file that is no preset.
        QCOMPARE(run_cli({QStringLiteral("insert"), folder, QStringLiteral("A:9"), text}).exit_code,
                 1);
        QCOMPARE(run_cli({QStringLiteral("insert"), folder, QStringLiteral("A:0"),
                          QDir(data.path()).filePath(QStringLiteral("missing.txt"))})
                     .exit_code,
                 1);
        QCOMPARE(files_below(folder), 4);
        // Into a bank the backup has no folder for yet.
        QCOMPARE(run_cli({QStringLiteral("insert"), folder, QStringLiteral("D:0"), text}).exit_code,
                 0);
        QCOMPARE(bank_files(folder, QStringLiteral("BANK D")),
                 QStringList{QStringLiteral("192.Fresh.txt")});
    }

    void reindex_closes_the_gaps() {
        QTemporaryDir data;
        QVERIFY(data.isValid());
        const QString folder =
            write_folder(data.path(), QStringLiteral("20_01_01_00_00"), {3, 9, 70, 80});
        QVERIFY(!folder.isEmpty());
        QCOMPARE(run_cli({QStringLiteral("reindex"), folder, QStringLiteral("b")}).exit_code, 0);
        QCOMPARE(bank_files(folder, QStringLiteral("BANK A")),
                 (QStringList{QStringLiteral("003.P3.txt"), QStringLiteral("009.P9.txt")}));
        QCOMPARE(bank_files(folder, QStringLiteral("BANK B")),
                 (QStringList{QStringLiteral("064.P70.txt"), QStringLiteral("065.P80.txt")}));
        QCOMPARE(run_cli({QStringLiteral("reindex"), folder}).exit_code, 0);
        QCOMPARE(bank_files(folder, QStringLiteral("BANK A")),
                 (QStringList{QStringLiteral("000.P3.txt"), QStringLiteral("001.P9.txt")}));
        QCOMPARE(id_in_file(QDir(folder).filePath(QStringLiteral("BANK A/001.P9.txt"))), 1U);
        QCOMPARE(run_cli({QStringLiteral("reindex"), folder, QStringLiteral("E")}).exit_code, 2);
    }

    // A backup running into the same datesaves keeps every edit out.
    void edits_wait_for_a_running_backup() {
        QTemporaryDir data;
        QVERIFY(data.isValid());
        const QString folder = write_folder(data.path(), QStringLiteral("20_01_01_00_00"), {0, 1});
        QVERIFY(!folder.isEmpty());
        quillmar::backup_store running(data.path());
        QCOMPARE(running.lock(), quillmar::backup_start_fault::none);
        const cli_result r = run_cli({QStringLiteral("delete"), folder, QStringLiteral("A:0")});
        QCOMPARE(r.exit_code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("A BACKUP IS RUNNING")), qPrintable(r.err));
        QCOMPARE(files_below(folder), 2);
        running.release();
        QCOMPARE(run_cli({QStringLiteral("delete"), folder, QStringLiteral("A:0")}).exit_code, 0);
        QCOMPARE(bank_files(folder, QStringLiteral("BANK A")),
                 QStringList{QStringLiteral("001.P1.txt")});
    }

    // Ctrl-C in mid-backup: no folder of it stays, and the earlier backup is untouched.
    void an_interrupted_backup_leaves_no_folder() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());
        const QString earlier = backup_as(synth, data.path(), QStringLiteral("20_01_01_00_00"));
        QVERIFY(!earlier.isEmpty());

        const cli_result r = run_cli({QStringLiteral("backup"), QStringLiteral("--port"),
                                      synth.port_path(), QStringLiteral("--data"), data.path()},
                                     {}, {}, &synth, 40);
        QCOMPARE(r.exit_code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("BACKUP INTERRUPTED")), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
        QCOMPARE(QDir(quillmar::backup_root(data.path()))
                     .entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("20_01_01_00_00")});
        QCOMPARE(files_below(earlier), 256);
    }

    // Ctrl-C in mid-restore: the import in flight is answered, then the restore stops and
    // says how many presets went.
    void an_interrupted_restore_says_how_many_were_sent() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());
        QVERIFY(!backup_as(synth, data.path(), QStringLiteral("20_01_01_00_00")).isEmpty());
        synth.forget_presets();
        synth.clear_records();

        const cli_result r =
            run_cli({QStringLiteral("restore"), QStringLiteral("--yes"), QStringLiteral("--port"),
                     synth.port_path(), QStringLiteral("--data"), data.path()},
                    {}, {}, &synth, 20);
        QCOMPARE(r.exit_code, 1);
        const QRegularExpressionMatch sent =
            QRegularExpression(QStringLiteral("RESTORE INTERRUPTED: (\\d+) PRESETS SENT"))
                .match(r.err);
        QVERIFY2(sent.hasMatch(), qPrintable(r.err));
        QCOMPARE(sent.captured(1).toInt(), synth.preset_count());
        QVERIFY(synth.preset_count() >= 19);
        QVERIFY(synth.preset_count() < 256);
    }

    // Ctrl-C during an update only warns: the image still goes, and the update succeeds.
    void an_update_goes_on_after_ctrl_c() {
        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir data;
        QVERIFY(data.isValid());
        const cli_result r =
            run_cli({QStringLiteral("update"), QStringLiteral("--yes"), QStringLiteral("--port"),
                     synth.port_path(), QStringLiteral("--data"), data.path()},
                    {}, {}, &synth, 1);
        QVERIFY2(r.exit_code == 0, qPrintable(r.err));
        QVERIFY2(r.err.contains(QStringLiteral("THE FIRMWARE UPDATE IS RUNNING")),
                 qPrintable(r.err));
        QVERIFY(!synth.firmware_image().isEmpty());
        QVERIFY(r.err.contains(QStringLiteral("UPDATE SUCCEEDED RESTART THE UNIT")));
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
        QTest::newRow("editing command help")
            << QStringList{QStringLiteral("move"), QStringLiteral("--help")} << 0
            << QStringLiteral("BANK:PLACE");
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

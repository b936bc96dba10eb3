// The BACKUP button against the synthesizer stand-in: requests, files, notices, failures.

#include "rig.h"

#include <google/protobuf/text_format.h>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSignalSpy>

#include <set>
#include <string>
#include <vector>

using quillmar::standin::message;
using quillmar::test::rig;
namespace protocol = quillmar::protocol;

namespace {

const QString succeeded = QStringLiteral("BACKUP SUCCEEDED");
const QString failed = QStringLiteral("ERROR\nBACKUP FAILED");
// The folder every rig's clock names: 20 December 2020, 14:05.
const QString dated = QStringLiteral("20_12_20_14_05");

// Time for a whole backup of the stand-in's presets, with room for a busy machine.
constexpr int backup_timeout_ms = 120000;
// Time for a backup that has to sit out one or two answer time-outs of five seconds.
constexpr int timeout_case_ms = 40000;

QString progress(int index) {
    return QStringLiteral("WORK IN PROGRESS\n%1/256").arg(index);
}

// The index an export request asks for: four nibble bytes, low nibble first.
int requested_index(const message& m) {
    int index = 0;
    for (int i = 0; i < m.body.size(); ++i) {
        index |= (static_cast<unsigned char>(m.body[i]) & 0x0F) << (4 * i);
    }
    return index;
}

QString bank_of(std::uint32_t id) {
    static const char* const banks[] = {"BANK A", "BANK B", "BANK C", "BANK D"};
    return QString::fromLatin1(banks[std::min<std::uint32_t>(id / 64, 3)]);
}

// The file name of a preset with an ordinary name: NNN.name.txt, the name as it is.
QString plain_file_name(const proto::Preset& p) {
    return QStringLiteral("%1.%2.txt")
        .arg(p.id(), 3, 10, QLatin1Char('0'))
        .arg(QString::fromStdString(p.name()));
}

QByteArray printed(const proto::Preset& p) {
    std::string text;
    google::protobuf::TextFormat::PrintToString(p, &text);
    return QByteArray::fromStdString(text);
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file below `folder`, hidden ones included, as paths relative to it.
QStringList files_below(const QString& folder) {
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        found << QDir(folder).relativeFilePath(it.next());
    }
    found.sort();
    return found;
}

// Everything in the backup root, hidden entries included.
QStringList root_entries(const rig& r) {
    QStringList names =
        QDir(r.backup_root())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

std::set<int> range(int first, int last) {
    std::set<int> indexes;
    for (int i = first; i <= last; ++i) {
        indexes.insert(i);
    }
    return indexes;
}

// Debug lines the tool writes, collected while a log_capture lives. Other messages go on
// to the handler that was there before.
class log_capture {
public:
    log_capture() {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
        lines().clear();
        previous() = qInstallMessageHandler(&log_capture::handle);
    }
    ~log_capture() { qInstallMessageHandler(previous()); }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    int count(const QString& line) const { return static_cast<int>(lines().count(line)); }

private:
    static QStringList& lines() {
        static QStringList all;
        return all;
    }
    static QtMessageHandler& previous() {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (type == QtDebugMsg) {
            lines() << text;
        } else if (previous() != nullptr) {
            previous()(type, context, text);
        }
    }
};

} // namespace

Q_DECLARE_METATYPE(std::set<int>)

class tst_e2e_backup : public QObject {
    Q_OBJECT

    // Clicks BACKUP and waits until the backup has ended; the boxes are answered as the test
    // has set up.
    static void click_backup(rig& r, int timeout_ms = backup_timeout_ms) {
        r.click(r.ui().button_backup);
        QTRY_VERIFY_WITH_TIMEOUT(r.window->running == vortan_gui::operation::none, timeout_ms);
    }
    // The same, choosing the stand-in in the port dialog.
    static void run_backup(rig& r, int timeout_ms = backup_timeout_ms) {
        r.select_port();
        click_backup(r, timeout_ms);
    }

    // The window is back at rest: notice shown, spinner stopped, buttons enabled, link closed,
    // nothing left to time out.
    static void check_at_rest(const rig& r, const QString& notice) {
        QCOMPARE(r.status_text(), notice);
        QVERIFY(!r.spinner_running());
        QVERIFY(r.buttons_enabled());
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->reader.attached_port(), nullptr);
        QCOMPARE(r.window->preset_counter, std::uint16_t{0});
        QVERIFY(!r.window->operation_timer->isActive());
        QVERIFY(!r.window->export_timer->isActive());
    }

    // The folder holds exactly the files of these slots of the stand-in, each in the bank
    // folder of its id, named after it and holding its printout.
    static void check_backup(const rig& r, const QString& folder, const std::set<int>& held) {
        const QString path = r.backup_root() + QLatin1Char('/') + folder;
        QStringList expected;
        for (const int slot : held) {
            const std::optional<proto::Preset> preset = r.synth.preset(slot);
            QVERIFY(preset.has_value());
            const QString file =
                bank_of(preset->id()) + QLatin1Char('/') + plain_file_name(*preset);
            expected << file;
            QCOMPARE(contents(path + QLatin1Char('/') + file), printed(*preset));
        }
        expected.sort();
        QCOMPARE(files_below(path), expected);
    }

private slots:
    // Every preset, in order, into the four bank folders; the progress counts along.
    void a_full_backup_writes_every_preset() {
        rig r;
        QStringList texts;
        bool spinning = true;
        connect(&r.synth, &quillmar::standin::synthesizer::received, this, [&](const message&) {
            texts << r.status_text();
            spinning = spinning && r.spinner_running() && r.buttons_disabled();
        });
        run_backup(r);
        r.check_answers();
        check_at_rest(r, succeeded);

        const auto& got = r.synth.messages();
        QCOMPARE(static_cast<int>(got.size()), 257);
        for (int i = 0; i < 257; ++i) {
            QCOMPARE(got[static_cast<std::size_t>(i)].command,
                     protocol::command::preset_export_request);
            QCOMPARE(requested_index(got[static_cast<std::size_t>(i)]), i);
            QCOMPARE(texts.value(i), progress(i));
        }
        QVERIFY(spinning);
        QCOMPARE(root_entries(r), QStringList{dated});
        check_backup(r, dated, range(0, 255));
    }

    // Refused indexes get no file and the backup goes on; one that wrote nothing at all leaves
    // no folder and does not pass for a backup.
    void refused_indexes_data() {
        QTest::addColumn<std::set<int>>("refused");
        QTest::addColumn<QString>("notice");
        QTest::newRow("first index refused") << std::set<int>{0} << succeeded;
        QTest::newRow("a run in the middle refused") << range(60, 70) << succeeded;
        QTest::newRow("last preset refused") << std::set<int>{255} << succeeded;
        QTest::newRow("every index refused") << range(0, 255) << failed;
    }
    void refused_indexes() {
        QFETCH(std::set<int>, refused);
        QFETCH(QString, notice);
        rig r;
        r.synth.set_refused_exports(refused);
        run_backup(r);
        r.check_answers();
        check_at_rest(r, notice);
        QCOMPARE(static_cast<int>(r.synth.messages().size()), 257);
        std::set<int> kept;
        for (int i = 0; i < 256; ++i) {
            if (!refused.contains(i)) {
                kept.insert(i);
            }
        }
        if (kept.empty()) {
            QCOMPARE(root_entries(r), QStringList());
        } else {
            QCOMPARE(root_entries(r), QStringList{dated});
            check_backup(r, dated, kept);
        }
    }

    // Answers that arrive a few bytes at a time, with real-time bytes between every two.
    void answers_in_small_chunks_with_realtime_bytes() {
        rig r;
        r.synth.set_refused_exports(range(12, 255));
        r.synth.set_chunk_size(61, 1);
        r.synth.set_interleave_realtime(true);
        run_backup(r);
        r.check_answers();
        check_at_rest(r, succeeded);
        check_backup(r, dated, range(0, 11));
    }

    // A request that gets no answer at all ends the backup after five seconds, the first one
    // as well as a later one. Presets written before stay; a backup without any leaves nothing.
    void an_unanswered_request_ends_the_backup_data() {
        QTest::addColumn<int>("answered");
        QTest::newRow("no answer at all") << 0;
        QTest::newRow("no answer after three presets") << 3;
    }
    void an_unanswered_request_ends_the_backup() {
        QFETCH(int, answered);
        rig r;
        connect(&r.synth, &quillmar::standin::synthesizer::received, this, [&](const message& m) {
            if (requested_index(m) == answered) {
                r.synth.set_silent(true);
            }
        });
        QElapsedTimer clock;
        clock.start();
        run_backup(r, timeout_case_ms);
        QVERIFY(clock.elapsed() >= 4500);
        r.check_answers();
        check_at_rest(r, failed);
        QCOMPARE(static_cast<int>(r.synth.messages().size()), answered + 1);
        if (answered == 0) {
            QCOMPARE(root_entries(r), QStringList());
        } else {
            QCOMPARE(root_entries(r), QStringList{dated});
            check_backup(r, dated, range(0, answered - 1));
        }
    }

    // An export that starts and stalls: "EXPORT FAILED" after five seconds. A late end still
    // lets the backup go on, whether it comes while the box is open or after it was closed;
    // an export that never ends fails the backup five seconds after the box.
    void a_stalled_export_data() {
        QTest::addColumn<bool>("late_end");
        QTest::addColumn<bool>("hold_box_until_end");
        QTest::addColumn<QString>("notice");
        QTest::newRow("late end while the box is open") << true << true << succeeded;
        QTest::newRow("late end after the box was closed") << true << false << succeeded;
        QTest::newRow("the export never ends") << false << false << failed;
    }
    void a_stalled_export() {
        QFETCH(bool, late_end);
        QFETCH(bool, hold_box_until_end);
        QFETCH(QString, notice);
        constexpr int stalled = 2;
        rig r;
        r.synth.set_refused_exports(range(6, 255));
        // The whole answer but its end byte goes out. The stream parser hands SysEx data on in
        // blocks of 1000 bytes, so the export is seen to start only with a preset this large.
        const int all_but_end = 7 + 2 * r.synth.preset_bytes(stalled)->size();
        QVERIFY(all_but_end > 1010);
        connect(&r.synth, &quillmar::standin::synthesizer::received, this, [&](const message& m) {
            const int index = requested_index(m);
            if (index == stalled && late_end) {
                // The end byte six seconds after the rest.
                r.synth.set_chunk_size(all_but_end, 6000);
            } else if (index == stalled) {
                r.synth.stop_next_answer_after(all_but_end);
            } else {
                r.synth.set_chunk_size(0);
            }
        });
        const auto next_requested = [&r] {
            return r.synth.messages().size() > static_cast<std::size_t>(stalled + 1);
        };
        r.select_port();
        r.answers.then(
            [&](QWidget* box) {
                if (hold_box_until_end) {
                    QVERIFY(QTest::qWaitFor(next_requested, 10000));
                }
                quillmar::test::click_button(box, QStringLiteral("OK"));
            },
            {.title = QStringLiteral("TIMEOUT"), .text = QStringLiteral("EXPORT FAILED")});
        click_backup(r, timeout_case_ms);
        r.check_answers();
        check_at_rest(r, notice);
        QCOMPARE(r.answers.seen().size(), 2);
        if (late_end) {
            QCOMPARE(static_cast<int>(r.synth.messages().size()), 257);
            check_backup(r, dated, range(0, 5));
        } else {
            QCOMPARE(static_cast<int>(r.synth.messages().size()), stalled + 1);
            check_backup(r, dated, range(0, stalled - 1));
        }
    }

    // The device goes away mid-backup: one "DISCONNECTED" box, the link closed, nothing more
    // read from the hung-up port, the presets written so far kept. Earlier operations that
    // opened the same port again do not multiply the box.
    void a_vanishing_device_data() {
        QTest::addColumn<int>("earlier_backups");
        QTest::addColumn<bool>("mid_request");
        QTest::newRow("while waiting for an answer") << 0 << false;
        QTest::newRow("in the middle of a request") << 0 << true;
        QTest::newRow("after several earlier operations") << 3 << false;
    }
    void a_vanishing_device() {
        QFETCH(int, earlier_backups);
        QFETCH(bool, mid_request);
        constexpr int answered = 10;
        rig r;
        r.synth.set_refused_exports(range(20, 255));
        for (int i = 0; i < earlier_backups; ++i) {
            // A click stopped by the port dialog, then a whole backup.
            r.answers.key(Qt::Key_Escape, {.title = QStringLiteral("SELECT VORTAN")});
            r.click(r.ui().button_backup);
            run_backup(r);
            QCOMPARE(r.status_text(), succeeded);
        }
        r.check_answers();
        r.synth.clear_records();
        if (mid_request) {
            // Gone after half of the request that follows the answered ones.
            r.synth.vanish_after_bytes(qint64{12} * answered + 6);
        } else {
            r.synth.vanish_after_messages(answered + 1);
        }
        r.now = r.now.addSecs(60);
        r.select_port();
        r.answers.click(QStringLiteral("OK"),
                        {.title = QStringLiteral("ERROR"), .text = QStringLiteral("DISCONNECTED")});
        log_capture log;
        click_backup(r, timeout_case_ms);
        r.check_answers();
        QCOMPARE(r.answers.seen().size(), 2 * earlier_backups + 2);
        check_at_rest(r, QString());
        QCOMPARE(r.window->update_state, vortan_gui::idle);
        check_backup(r, QStringLiteral("20_12_20_14_06"), range(0, answered - 1));
        // Nothing further: no second box, no read errors from a port left spinning.
        const int read_errors = log.count(QStringLiteral("I/O error on Read "));
        QTest::qWait(500);
        QCOMPARE(log.count(QStringLiteral("I/O error on Read ")), read_errors);
        QCOMPARE(r.answers.seen().size(), 2 * earlier_backups + 2);
    }

    // No port chosen: the notice, and nothing sent or written.
    void no_port_chosen_data() {
        QTest::addColumn<bool>("empty_list");
        QTest::newRow("dialog escaped") << false;
        QTest::newRow("nothing listed") << true;
    }
    void no_port_chosen() {
        QFETCH(bool, empty_list);
        rig r;
        if (empty_list) {
            r.catalog->ports.clear();
            r.select_port();
        } else {
            r.answers.key(Qt::Key_Escape, {.title = QStringLiteral("SELECT VORTAN")});
        }
        r.click(r.ui().button_backup);
        r.check_answers();
        QCOMPARE(r.status_text(), QStringLiteral("ERROR\nVORTAN NOT CONNECTED"));
        QVERIFY(r.buttons_enabled());
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->running, vortan_gui::operation::none);
        QVERIFY(r.synth.messages().empty());
        QCOMPARE(root_entries(r), QStringList());
    }

    // Two backups in one minute: a complete second one replaces the first; one that fails
    // leaves the first as it was.
    void two_backups_in_one_minute_data() {
        QTest::addColumn<int>("second_answers");
        QTest::addColumn<bool>("unwritable_file");
        QTest::addColumn<QString>("notice");
        QTest::newRow("the second succeeds") << -1 << false << succeeded;
        QTest::newRow("the second gets no answer") << 0 << false << failed;
        QTest::newRow("the second stops after three presets") << 3 << false << failed;
        QTest::newRow("the second cannot write a file") << -1 << true << failed;
    }
    void two_backups_in_one_minute() {
        QFETCH(int, second_answers);
        QFETCH(bool, unwritable_file);
        QFETCH(QString, notice);
        rig r;
        r.synth.set_refused_exports(range(8, 255));
        run_backup(r);
        QCOMPARE(r.status_text(), succeeded);
        const proto::Preset first_seven = *r.synth.preset(7);

        // The second sees preset 7 renamed.
        proto::Preset renamed = first_seven;
        renamed.set_name("Renamed");
        r.synth.set_preset(7, renamed);
        r.synth.clear_records();
        connect(&r.synth, &quillmar::standin::synthesizer::received, this, [&](const message& m) {
            if (requested_index(m) == second_answers) {
                r.synth.set_silent(true);
            }
            if (unwritable_file && requested_index(m) == 0) {
                // A folder where preset 5's file is to go.
                QDir().mkpath(r.window->backup_dir->absolutePath() + QStringLiteral("/BANK A/") +
                              plain_file_name(*r.synth.preset(5)));
            }
        });
        run_backup(r, timeout_case_ms);
        r.check_answers();
        check_at_rest(r, notice);
        QCOMPARE(root_entries(r), QStringList{dated});
        if (notice == succeeded) {
            check_backup(r, dated, range(0, 7));
        } else {
            // The first backup, untouched.
            r.synth.set_preset(7, first_seven);
            check_backup(r, dated, range(0, 7));
        }
    }

    // A file that cannot be written fails the backup, which still writes the rest; the
    // partial backup stays when no other backup of that minute exists.
    void an_unwritable_file_fails_the_backup() {
        rig r;
        r.synth.set_refused_exports(range(8, 255));
        const QString blocked = QStringLiteral("BANK A/") + plain_file_name(*r.synth.preset(5));
        connect(&r.synth, &quillmar::standin::synthesizer::received, this, [&](const message& m) {
            if (requested_index(m) == 0) {
                QDir().mkpath(r.window->backup_dir->absolutePath() + QLatin1Char('/') + blocked);
            }
        });
        log_capture log;
        run_backup(r);
        r.check_answers();
        check_at_rest(r, failed);
        QCOMPARE(log.count(QStringLiteral("Unable to open")), 1);
        QCOMPARE(static_cast<int>(r.synth.messages().size()), 257);
        const QString folder = r.backup_root() + QLatin1Char('/') + dated;
        QVERIFY(QFileInfo(folder + QLatin1Char('/') + blocked).isDir());
        QCOMPARE(files_below(folder).size(), 7);
    }

    // A payload that is no complete preset is not written (as number 0 it would take the
    // first preset's file) and fails the backup; the others are kept.
    void a_damaged_payload_fails_the_backup_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("not protobuf") << QByteArray("\xff\xff\xff\xff", 4);
        // A whole preset followed by a field that promises 16 bytes and ends.
        const std::string whole = quillmar::standin::make_factory_preset(3).SerializeAsString();
        QTest::newRow("truncated")
            << QByteArray(whole.data(), static_cast<int>(whole.size())).append("\x1a\x10", 2);
        QTest::newRow("no id") << QByteArray("\x12\x04Init", 6);
    }
    void a_damaged_payload_fails_the_backup() {
        QFETCH(QByteArray, payload);
        rig r;
        r.synth.set_refused_exports(range(8, 255));
        r.synth.set_preset_bytes(3, payload);
        log_capture log;
        run_backup(r);
        r.check_answers();
        check_at_rest(r, failed);
        QCOMPARE(log.count(QStringLiteral("Preset damaged")), 1);
        check_backup(r, dated, {0, 1, 2, 4, 5, 6, 7});
    }

    // Whatever a preset's name holds, its file lies in its bank folder, and the file keeps
    // the name exactly; ordinary names are used as they are.
    void hostile_names_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("file_name");
        QTest::newRow("dots and spaces") << QByteArray("My.Pad 2") << "003.My.Pad 2.txt";
        QTest::newRow("parent folders")
            << QByteArray("../../../outside") << "003..._.._.._outside.txt";
        QTest::newRow("only two dots") << QByteArray("..") << "003....txt";
        QTest::newRow("absolute path") << QByteArray("/etc/passwd") << "003._etc_passwd.txt";
        QTest::newRow("backslashes") << QByteArray("a\\b") << "003.a_b.txt";
        QTest::newRow("control characters") << QByteArray("a\tb\nc\x1b") << "003.a_b_c_.txt";
        QTest::newRow("NUL byte") << QByteArray("a\0b", 3) << "003.a_b.txt";
        QTest::newRow("very long")
            << QByteArray(300, 'x')
            << QStringLiteral("003.") + QString(247, QLatin1Char('x')) + QStringLiteral(".txt");
        QTest::newRow("very long, two bytes a letter")
            << QString(200, QChar(0xE9)).toUtf8()
            << QStringLiteral("003.") + QString(123, QChar(0xE9)) + QStringLiteral(".txt");
    }
    void hostile_names() {
        QFETCH(QByteArray, name);
        QFETCH(QString, file_name);
        rig r;
        r.synth.set_refused_exports(range(4, 255));
        proto::Preset preset = *r.synth.preset(3);
        preset.set_name(name.toStdString());
        r.synth.set_preset(3, preset);
        run_backup(r);
        r.check_answers();
        check_at_rest(r, succeeded);
        // Nothing anywhere in the data folder but the backup's files.
        const QString relative = QStringLiteral("datesaves/") + dated + QStringLiteral("/BANK A/");
        QStringList files = files_below(r.window->data_location);
        QCOMPARE(files.size(), 4);
        QVERIFY2(files.contains(relative + file_name), qPrintable(files.join('\n')));
        QCOMPARE(contents(r.window->data_location + QLatin1Char('/') + relative + file_name),
                 printed(*r.synth.preset(3)));
    }

    // Leftovers of a backup that never ended are cleared, without following a link out of
    // the data folder.
    void leftovers_of_an_interrupted_backup_are_cleared() {
        rig r;
        r.synth.set_refused_exports(range(4, 255));
        QTemporaryDir outside;
        QVERIFY(outside.isValid());
        QFile keep(outside.filePath(QStringLiteral("keep.txt")));
        QVERIFY(keep.open(QIODevice::WriteOnly));
        keep.write("precious");
        keep.close();
        const QString staging = r.backup_root() + QStringLiteral("/.backup_in_progress");
        QVERIFY(QDir().mkpath(staging + QStringLiteral("/BANK A")));
        QFile stale(staging + QStringLiteral("/BANK A/009.Stale.txt"));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();
        QVERIFY(QFile::link(outside.path(), staging + QStringLiteral("/BANK B")));
        run_backup(r);
        r.check_answers();
        check_at_rest(r, succeeded);
        QCOMPARE(root_entries(r), QStringList{dated});
        check_backup(r, dated, range(0, 3));
        QCOMPARE(contents(keep.fileName()), QByteArray("precious"));
    }

    // The staging folder cannot be made: the folder error box, nothing sent, nothing written.
    void a_backup_root_that_is_no_folder_stops_the_click() {
        rig r;
        QVERIFY(QDir(r.backup_root()).removeRecursively());
        QFile blocker(r.backup_root());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        r.select_port();
        r.answers.click(QStringLiteral("OK"),
                        {.title = QStringLiteral("FOLDER ERROR"),
                         .text = QStringLiteral("DIRECTORY SHOULD BE EMPTY")});
        r.click(r.ui().button_backup);
        r.check_answers();
        QVERIFY(r.buttons_enabled());
        QCOMPARE(r.window->running, vortan_gui::operation::none);
        // A quiet period: no request may reach the stand-in.
        QTest::qWait(200);
        QVERIFY(r.synth.messages().empty());
        QVERIFY(QFileInfo(r.backup_root()).isFile());
    }

    // A "draft" bank folder that exists gets a second copy of each written file, never
    // replacing one there; a link in its place is not followed.
    void draft_copies() {
        rig r;
        r.synth.set_refused_exports(range(70, 255));
        const QString draft = r.window->data_location + QStringLiteral("/draft");
        QVERIFY(QDir().mkpath(draft + QStringLiteral("/BANK A")));
        QTemporaryDir outside;
        QVERIFY(QFile::link(outside.path(), draft + QStringLiteral("/BANK B")));
        const QString copy =
            draft + QStringLiteral("/BANK A/") + plain_file_name(*r.synth.preset(3));
        run_backup(r);
        QCOMPARE(r.status_text(), succeeded);
        QCOMPARE(contents(copy), printed(*r.synth.preset(3)));
        QCOMPARE(QDir(draft + QStringLiteral("/BANK A")).entryList(QDir::Files).size(), 64);
        QVERIFY(QDir(outside.path()).isEmpty());

        // A later backup leaves the copy as it was.
        const QByteArray before = contents(copy);
        proto::Preset changed;
        changed.set_id(3);
        changed.set_name(r.synth.preset(3)->name());
        r.synth.set_preset(3, changed);
        r.now = r.now.addSecs(60);
        run_backup(r);
        QCOMPARE(r.status_text(), succeeded);
        QCOMPARE(contents(copy), before);
    }

    // Export messages while no backup runs change nothing.
    void exports_while_no_backup_runs_are_ignored() {
        rig r;
        r.window->transfer_buffer = "kept";
        r.window->open_port(r.synth.port_path());
        r.window->writer.set_port(r.window->port);
        r.window->reader.set_port(r.window->port);
        QSignalSpy answered(&r.synth, &quillmar::standin::synthesizer::answered);
        r.window->writer.write_export_request("00000000");
        r.window->writer.write_export_request("00000100");
        QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 2, 10000);
        // A quiet period in which the answers are read and must change nothing.
        QTest::qWait(300);
        QCOMPARE(r.window->transfer_buffer, QByteArray("kept"));
        QCOMPARE(r.window->preset_counter, std::uint16_t{0});
        QVERIFY(!r.window->export_timer->isActive());
        QCOMPARE(root_entries(r), QStringList());
        r.window->disconnect_action();
    }

    // A click while a firmware update connection is open only closes it.
    void a_click_during_an_update_connection_only_closes_it() {
        rig r;
        r.window->open_port(r.synth.port_path());
        r.window->writer.set_port(r.window->port);
        r.window->reader.set_port(r.window->port);
        r.window->update_state = vortan_gui::connected;
        r.click(r.ui().button_backup);
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->update_state, vortan_gui::idle);
        QCOMPARE(r.window->running, vortan_gui::operation::none);
        QVERIFY(r.answers.seen().isEmpty());
        // A quiet period: no request may reach the stand-in.
        QTest::qWait(200);
        QVERIFY(r.synth.messages().empty());
    }
};

VORTAN_TEST_MAIN(tst_e2e_backup)
#include "tst_e2e_backup.moc"

// The BACKUP button against the synthesizer stand-in: requests, files, notices, failures.

#include "rig.h"

#include <google/protobuf/text_format.h>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QSignalSpy>

#include <chrono>
#include <set>
#include <string>
#include <vector>

using quillmar::standin::message;
using quillmar::test::rig;
using quillmar::test::run_until;
namespace protocol = quillmar::protocol;

namespace {

const QString succeeded = QStringLiteral("BACKUP SUCCEEDED");
const QString failed = QStringLiteral("ERROR\nBACKUP FAILED");
// The folder every rig's clock names: 20 December 2020, 14:05.
const QString dated = QStringLiteral("20_12_20_14_05");
// Where a failed backup of that minute keeps what it saved.
const QString marked = dated + QStringLiteral(" INCOMPLETE");

// Time for a whole backup of the stand-in's presets, with room for a busy machine.
constexpr int backup_timeout_ms = 120000;
// Time for a backup that has to sit out one or two answer time-outs of five seconds.
constexpr int timeout_case_ms = 40000;
// The answer watch of tests that run into it on purpose.
constexpr std::chrono::milliseconds short_answer_watch{400};

const QString busy_title = QStringLiteral("BACKUP IN PROGRESS");
const QString busy_text = QStringLiteral("ANOTHER COPY OF THIS TOOL IS MAKING A BACKUP");
const QString busy_informative = QStringLiteral("WAIT UNTIL IT HAS FINISHED, THEN TRY AGAIN");
// The lock a backup holds in the backup root.
const QString lock_name = QStringLiteral(".backup.lock");

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

// Sets the stand-in up as one of the misbehaving devices: "twice" answers every export
// twice, "slot N" answers every export with the preset of slot N; "" is a sound device.
void misbehave(quillmar::standin::synthesizer& synth, const QString& device) {
    if (device == QStringLiteral("twice")) {
        synth.set_answer_exports_twice(true);
    } else if (device.startsWith(QStringLiteral("slot "))) {
        synth.set_fixed_export_slot(device.mid(5).toInt());
    }
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
        QLoggingCategory::setFilterRules(QStringLiteral("vortan.debug=true"));
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
        VORTAN_TRY_VERIFY(r.engine().running() == vortan_gui::operation::none, timeout_ms);
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
        QCOMPARE(r.window->preset_counter(), std::uint16_t{0});
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
        r.synth.set_refused_exports(range(6, 255));
        r.synth.set_chunk_size(61, 1);
        r.synth.set_interleave_realtime(true);
        // A trickling export takes a while; it must not be cut short.
        r.engine().timing.export_watch = timings{}.export_watch;
        run_backup(r);
        r.check_answers();
        check_at_rest(r, succeeded);
        check_backup(r, dated, range(0, 5));
    }

    // A request that gets no answer at all ends the backup after the answer watch, the first one
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
        QVERIFY(clock.elapsed() >= r.engine().timing.answer.count() * 9 / 10);
        r.check_answers();
        check_at_rest(r, failed);
        QCOMPARE(static_cast<int>(r.synth.messages().size()), answered + 1);
        if (answered == 0) {
            QCOMPARE(root_entries(r), QStringList());
        } else {
            QCOMPARE(root_entries(r), QStringList{marked});
            check_backup(r, marked, range(0, answered - 1));
        }
    }

    // An export that starts and stalls: "EXPORT FAILED" once the export watch (here 0.5 s)
    // runs out. A late end still lets the backup go on, whether it comes while the box is open
    // or after it was closed; an export that never ends fails the backup an answer watch
    // (0.5 s) after the box.
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
        r.engine().timing.export_watch = std::chrono::milliseconds{500};
        r.engine().timing.answer = std::chrono::milliseconds{500};
        r.synth.set_refused_exports(range(6, 255));
        // The whole answer but its end byte goes out. The stream parser hands SysEx data on in
        // blocks of 1000 bytes, so the export is seen to start only with a preset this large.
        const int all_but_end = 7 + 2 * r.synth.preset_bytes(stalled)->size();
        QVERIFY(all_but_end > 1010);
        connect(&r.synth, &quillmar::standin::synthesizer::received, this, [&](const message& m) {
            const int index = requested_index(m);
            if (index == stalled && late_end) {
                // The end byte 0.6 s after the rest: past the export watch, within the answer
                // watch that follows the box.
                r.synth.set_chunk_size(all_but_end, 600);
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
                    QVERIFY(run_until(next_requested, 10000));
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
            check_backup(r, marked, range(0, stalled - 1));
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
        QCOMPARE(r.window->update_state(), vortan_gui::idle);
        check_backup(r, QStringLiteral("20_12_20_14_06 INCOMPLETE"), range(0, answered - 1));
        // Nothing further: no second box, no read errors from a port left spinning.
        const int read_errors = log.count(QStringLiteral("I/O error on Read "));
        rig::turn_event_loop();
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
        QCOMPARE(r.engine().running(), vortan_gui::operation::none);
        QVERIFY(r.synth.messages().empty());
        // No lock file left behind either.
        QCOMPARE(root_entries(r), QStringList());
    }

    // Two backups in one minute: only a complete, checked second one replaces the first; one
    // that fails leaves the first as it was and keeps what it saved in a marked folder.
    void two_backups_in_one_minute_data() {
        QTest::addColumn<int>("second_answers");
        QTest::addColumn<bool>("unwritable_file");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<std::set<int>>("kept"); // slots of the marked folder; none: no folder
        QTest::newRow("the second succeeds") << -1 << false << "" << succeeded << std::set<int>{};
        QTest::newRow("the second gets no answer") << 0 << false << "" << failed << std::set<int>{};
        QTest::newRow("the second stops after three presets")
            << 3 << false << "" << failed << range(0, 2);
        QTest::newRow("the second cannot write a file")
            << -1 << true << "" << failed << std::set<int>{0, 1, 2, 3, 4, 6, 7};
        // Every repeated answer is passed over; the refusals of 8 to 255 run on to the end
        // whichever request they are taken for, so the backup is right.
        QTest::newRow("the second answers every request twice")
            << -1 << false << "twice" << succeeded << std::set<int>{};
        QTest::newRow("the second answers every request with preset 0")
            << -1 << false << "slot 0" << failed << std::set<int>{0};
    }
    void two_backups_in_one_minute() {
        QFETCH(int, second_answers);
        QFETCH(bool, unwritable_file);
        QFETCH(QString, device);
        QFETCH(QString, notice);
        QFETCH(std::set<int>, kept);
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
        misbehave(r.synth, device);
        if (second_answers >= 0 || device.startsWith(QStringLiteral("slot "))) {
            // This one ends by the answer watch.
            r.engine().timing.answer = short_answer_watch;
        }
        connect(&r.synth, &quillmar::standin::synthesizer::received, this, [&](const message& m) {
            if (requested_index(m) == second_answers) {
                r.synth.set_silent(true);
            }
            if (unwritable_file && requested_index(m) == 0) {
                // A folder where preset 5's file is to go.
                QDir().mkpath(r.window->backup_dir()->absolutePath() + QStringLiteral("/BANK A/") +
                              plain_file_name(*r.synth.preset(5)));
            }
        });
        run_backup(r, timeout_case_ms);
        r.check_answers();
        check_at_rest(r, notice);
        QStringList entries{dated};
        if (!kept.empty()) {
            entries << marked;
            // What the second saved, as it saw it.
            check_backup(r, marked, kept);
        }
        QCOMPARE(root_entries(r), entries);
        if (notice != succeeded) {
            // The first backup, untouched.
            r.synth.set_preset(7, first_seven);
        }
        check_backup(r, dated, range(0, 7));
    }

    // Only the answer to the request outstanding counts. A repeated answer or a preset of
    // another index is neither written nor moves the backup on; a device that never sends
    // the right one fails by the answer watch. A refusal names no index: should the preset
    // of an index taken as refused turn up later, the backup has failed.
    void answers_that_belong_to_no_request_data() {
        QTest::addColumn<QString>("device");
        QTest::addColumn<std::set<int>>("refused");
        QTest::addColumn<bool>("waits_out"); // ends by the answer watch
        QTest::addColumn<QString>("notice");
        QTest::addColumn<QString>("folder"); // empty: nothing kept
        QTest::addColumn<std::set<int>>("kept");
        QTest::addColumn<int>("requests"); // -1: not checked
        QTest::newRow("every answer twice")
            << "twice" << std::set<int>{} << false << succeeded << dated << range(0, 255) << 257;
        // The second refusal of 60 is taken for 61's, and so on, until the preset of 71
        // comes while the backup asks for a later index.
        QTest::newRow("every answer twice, 60 to 70 refused")
            << "twice" << range(60, 70) << false << failed << marked << range(0, 59) << -1;
        QTest::newRow("every answer preset 0")
            << "slot 0" << std::set<int>{} << true << failed << marked << std::set<int>{0} << 2;
        QTest::newRow("every answer preset 5")
            << "slot 5" << std::set<int>{} << true << failed << QString() << std::set<int>{} << 1;
    }
    void answers_that_belong_to_no_request() {
        QFETCH(QString, device);
        QFETCH(std::set<int>, refused);
        QFETCH(bool, waits_out);
        QFETCH(QString, notice);
        QFETCH(QString, folder);
        QFETCH(std::set<int>, kept);
        QFETCH(int, requests);
        rig r;
        misbehave(r.synth, device);
        r.synth.set_refused_exports(refused);
        if (waits_out) {
            r.engine().timing.answer = short_answer_watch;
        }
        run_backup(r);
        r.check_answers();
        check_at_rest(r, notice);
        if (requests >= 0) {
            QCOMPARE(static_cast<int>(r.synth.messages().size()), requests);
        }
        if (folder.isEmpty()) {
            QCOMPARE(root_entries(r), QStringList());
        } else {
            QCOMPARE(root_entries(r), QStringList{folder});
            // The fixed slot's preset is the preset of that slot, so the check holds for it.
            check_backup(r, folder, kept);
        }
    }

    // A failed backup keeps what it saved in a folder marked INCOMPLETE, beside the backups
    // and never in their place: RESTORE and UPDATE's age check pass over it.
    void a_failed_backup_is_kept_aside_data() {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<std::set<int>>("kept");
        QTest::newRow("device lost after four presets") << "lost" << range(0, 3);
        QTest::newRow("no answer after four presets") << "silent" << range(0, 3);
        QTest::newRow("a file cannot be written") << "unwritable" << std::set<int>{0, 1, 2, 4, 5};
    }
    void a_failed_backup_is_kept_aside() {
        QFETCH(QString, failure);
        QFETCH(std::set<int>, kept);
        rig r;
        r.synth.set_refused_exports(range(6, 255));
        const QString good = QStringLiteral("20_12_18_09_30");
        r.now = QDateTime(QDate(2020, 12, 18), QTime(9, 30));
        run_backup(r);
        QCOMPARE(r.status_text(), succeeded);

        r.now = QDateTime(QDate(2020, 12, 20), QTime(14, 5));
        r.engine().timing.answer = short_answer_watch;
        r.select_port();
        if (failure == QStringLiteral("lost")) {
            r.synth.vanish_after_messages(5);
            r.answers.click(QStringLiteral("OK"), {.title = QStringLiteral("ERROR"),
                                                   .text = QStringLiteral("DISCONNECTED")});
        }
        connect(&r.synth, &quillmar::standin::synthesizer::received, this, [&](const message& m) {
            if (failure == QStringLiteral("silent") && requested_index(m) == 4) {
                r.synth.set_silent(true);
            }
            if (failure == QStringLiteral("unwritable") && requested_index(m) == 0) {
                QDir().mkpath(r.window->backup_dir()->absolutePath() + QStringLiteral("/BANK A/") +
                              plain_file_name(*r.synth.preset(3)));
            }
        });
        click_backup(r, timeout_case_ms);
        r.check_answers();
        QCOMPARE(r.status_text(), failure == QStringLiteral("lost") ? QString() : failed);
        QCOMPARE(r.backups(), (QStringList{good, marked}));
        check_backup(r, marked, kept);
        QCOMPARE(r.engine().latest_backup_name(), std::optional<QString>(good));

        // RESTORE offers the good backup's six presets.
        r.select_port();
        r.answers.click(QStringLiteral("NO"),
                        {.title = QStringLiteral("NOT ENOUGH PRESETS"),
                         .text = QStringLiteral("ONLY 6 PRESETS FOUND ON YOUR LAST BACKUP")});
        r.click(r.ui().button_send);
        r.check_answers();
        // UPDATE dates the good backup, two days old.
        r.select_port();
        r.answers.click(QStringLiteral("NO"),
                        {.text = QStringLiteral("THE LAST BACKUP IS QUITE OLD (18/12/2020)")});
        r.click(r.ui().button_firmware);
        r.check_answers();
        QCOMPARE(r.backups(), (QStringList{good, marked}));
    }

    // Failed backups of one minute are all kept, numbered; none of them counts as a backup.
    void failed_backups_of_one_minute_are_numbered() {
        rig r;
        r.synth.set_refused_exports(range(6, 255));
        r.engine().timing.answer = short_answer_watch;
        connect(&r.synth, &quillmar::standin::synthesizer::received, this, [&](const message& m) {
            if (requested_index(m) == 2) {
                r.synth.set_silent(true);
            }
        });
        for (int i = 0; i < 3; ++i) {
            r.synth.set_silent(false);
            run_backup(r, timeout_case_ms);
            r.check_answers();
            check_at_rest(r, failed);
        }
        const QStringList expected{marked, marked + QStringLiteral(" 2"),
                                   marked + QStringLiteral(" 3")};
        QCOMPARE(r.backups(), expected);
        for (const QString& folder : expected) {
            check_backup(r, folder, range(0, 1));
        }
        QCOMPARE(r.engine().latest_backup_name(), std::optional<QString>());
        r.select_port();
        r.click(r.ui().button_send);
        r.check_answers();
        QCOMPARE(r.status_text(), QStringLiteral("ERROR\nNO BACKUP FOUND"));
    }

    // A file that cannot be written fails the backup, which still writes the rest; the
    // partial backup stays when no other backup of that minute exists.
    void an_unwritable_file_fails_the_backup() {
        rig r;
        r.synth.set_refused_exports(range(8, 255));
        const QString blocked = QStringLiteral("BANK A/") + plain_file_name(*r.synth.preset(5));
        connect(&r.synth, &quillmar::standin::synthesizer::received, this, [&](const message& m) {
            if (requested_index(m) == 0) {
                QDir().mkpath(r.window->backup_dir()->absolutePath() + QLatin1Char('/') + blocked);
            }
        });
        log_capture log;
        run_backup(r);
        r.check_answers();
        check_at_rest(r, failed);
        QCOMPARE(log.count(QStringLiteral("Unable to open")), 1);
        QCOMPARE(static_cast<int>(r.synth.messages().size()), 257);
        const QString folder = r.backup_root() + QLatin1Char('/') + marked;
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
        check_backup(r, marked, {0, 1, 2, 4, 5, 6, 7});
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

    // A backup root that cannot be written: the folder error box says what is wrong and
    // where, the port an earlier operation left open is closed, the failure notice ends it,
    // and nothing is sent or written.
    void a_faulty_backup_folder_fails_the_click_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("text");
        QTest::newRow("a file") << "file"
                                << "BACKUP FOLDER IS NOT A FOLDER";
        QTest::newRow("a dangling link") << "dangling link"
                                         << "BACKUP FOLDER IS A BROKEN LINK";
        QTest::newRow("read-only") << "read-only"
                                   << "BACKUP FOLDER IS READ-ONLY";
    }
    void a_faulty_backup_folder_fails_the_click() {
        QFETCH(QString, fault);
        QFETCH(QString, text);
        rig r;
        const QString root = r.backup_root();
        const QString gone = root + QStringLiteral("-gone");
        if (fault == QStringLiteral("read-only")) {
            QVERIFY(QFile::setPermissions(root, QFile::ReadOwner | QFile::ExeOwner));
            // Permissions do not bind the superuser.
            QFile probe(root + QStringLiteral("/probe"));
            if (probe.open(QIODevice::WriteOnly)) {
                probe.remove();
                QVERIFY(QFile::setPermissions(root, QFile::ReadOwner | QFile::WriteOwner |
                                                        QFile::ExeOwner));
                QSKIP("this user may write into a read-only folder (root)");
            }
        } else {
            QVERIFY(QDir(root).removeRecursively());
            if (fault == QStringLiteral("file")) {
                QFile blocker(root);
                QVERIFY(blocker.open(QIODevice::WriteOnly));
            } else {
                QVERIFY(QFile::link(gone, root));
            }
        }
        // Left open, as a restore leaves it.
        QVERIFY(r.engine().open_link(r.synth.port_path()));
        QVERIFY(r.port_open());

        r.answers.click(QStringLiteral("OK"), {.title = QStringLiteral("FOLDER ERROR"),
                                               .text = text,
                                               .informative_text = QDir::toNativeSeparators(root)});
        r.click(r.ui().button_backup);
        r.check_answers();
        QCOMPARE(r.status_text(), failed);
        QVERIFY(r.buttons_enabled());
        QVERIFY(!r.port_open());
        QCOMPARE(r.engine().running(), vortan_gui::operation::none);
        // No request may reach the stand-in.
        QCOMPARE(r.messages_before_round_trip(), std::size_t{0});
        const QFileInfo after(root);
        if (fault == QStringLiteral("read-only")) {
            QVERIFY(QDir(root).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                                       QDir::NoDotAndDotDot));
            QVERIFY(QFile::setPermissions(root,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        } else if (fault == QStringLiteral("file")) {
            QVERIFY(after.isFile());
        } else {
            QVERIFY(after.isSymLink());
            QVERIFY(!QFileInfo::exists(gone));
        }
    }

    // One copy of the tool at a time: a second window on the same data folder is told that a
    // backup is being made and opens, sends and wipes nothing; once the first has ended the
    // second backs up as usual.
    void a_second_copy_waits_for_the_first() {
        rig r;
        r.synth.set_refused_exports(range(16, 255));
        r.synth.set_answer_delay(2);
        // The second copy, with a stand-in of its own; the rig's data folder is in force.
        quillmar::standin::synthesizer other_synth;
        vortan_gui other;
        auto list = std::make_unique<quillmar::test::fixed_catalog>();
        list->ports[quillmar::test::standin_port_name] = other_synth.port_path();
        other.set_port_catalog(std::move(list));
        vortan_gui_test_access::engine(other).clock = [&r] { return r.now.addSecs(60); };
        other.show();
        QCOMPARE(other.data_location, r.window->data_location);
        const QString other_status = other.ui->active_info_text->text();

        r.select_port();
        r.click(r.ui().button_backup);
        QCOMPARE(r.engine().running(), vortan_gui::operation::backup);
        r.answers.click(
            QStringLiteral("OK"),
            {.title = busy_title, .text = busy_text, .informative_text = busy_informative});
        QTest::mouseClick(other.ui->button_backup, Qt::LeftButton);
        r.check_answers();
        QVERIFY(!other.port->isOpen());
        QCOMPARE(vortan_gui_test_access::engine(other).running(), vortan_gui::operation::none);
        QCOMPARE(other.ui->active_info_text->text(), other_status);

        VORTAN_TRY_VERIFY(r.engine().running() == vortan_gui::operation::none, backup_timeout_ms);
        check_at_rest(r, succeeded);
        check_backup(r, dated, range(0, 15));
        QVERIFY(other_synth.messages().empty());

        r.select_port();
        QTest::mouseClick(other.ui->button_backup, Qt::LeftButton);
        VORTAN_TRY_VERIFY(vortan_gui_test_access::engine(other).running() ==
                              vortan_gui::operation::none,
                          backup_timeout_ms);
        r.check_answers();
        QCOMPARE(other.ui->active_info_text->text(), succeeded);
        QCOMPARE(root_entries(r), (QStringList{dated, QStringLiteral("20_12_20_14_06")}));
    }

    // A lock left behind by a copy that died does not block the backup; a lock just being
    // made by a living copy does.
    void a_lock_left_behind_data() {
        QTest::addColumn<QString>("lock");
        QTest::addColumn<bool>("taken_over");
        QTest::newRow("naming a process that has ended") << "ended process" << true;
        QTest::newRow("naming nobody, an hour old") << "empty, old" << true;
        QTest::newRow("naming nobody, just made") << "empty, new" << false;
    }
    void a_lock_left_behind() {
        QFETCH(QString, lock);
        QFETCH(bool, taken_over);
        rig r;
        r.synth.set_refused_exports(range(4, 255));
        const QString path = r.backup_root() + QLatin1Char('/') + lock_name;
        QByteArray held;
        if (lock == QStringLiteral("ended process")) {
            QProcess child;
            child.start(QStringLiteral("sleep"), {QStringLiteral("60")});
            QVERIFY(child.waitForStarted(10000));
            const qint64 pid = child.processId();
            child.kill();
            QVERIFY(child.waitForFinished(10000));
            // The lock as this program writes it, naming the ended process instead.
            {
                QLockFile probe(path);
                QVERIFY(probe.tryLock(0));
                held = contents(path);
            }
            QVERIFY(held.contains('\n'));
            held = QByteArray::number(pid) + held.mid(held.indexOf('\n'));
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(held), qint64(held.size()));
        if (lock == QStringLiteral("empty, old")) {
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                     QFileDevice::FileModificationTime));
        }
        file.close();

        if (taken_over) {
            run_backup(r);
            r.check_answers();
            check_at_rest(r, succeeded);
            check_backup(r, dated, range(0, 3));
            QCOMPARE(root_entries(r), QStringList{dated});
        } else {
            r.answers.click(QStringLiteral("OK"), {.title = busy_title, .text = busy_text});
            r.click(r.ui().button_backup);
            r.check_answers();
            QVERIFY(!r.port_open());
            QVERIFY(r.synth.messages().empty());
            QCOMPARE(root_entries(r), QStringList{lock_name});
        }
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
        QVERIFY(r.engine().open_link(r.synth.port_path()));
        QSignalSpy answered(&r.synth, &quillmar::standin::synthesizer::answered);
        r.window->writer.write_export_request("00000000");
        r.window->writer.write_export_request("00000100");
        VORTAN_TRY_COMPARE(answered.count(), 2, 10000);
        // The answers are read, and must change nothing.
        r.drain_port();
        QCOMPARE(r.window->transfer_buffer, QByteArray("kept"));
        QCOMPARE(r.window->preset_counter(), std::uint16_t{0});
        QVERIFY(!r.window->export_timer->isActive());
        QCOMPARE(root_entries(r), QStringList());
        r.window->disconnect_action();
    }

    // A click while a firmware update connection is open only closes it.
    void a_click_during_an_update_connection_only_closes_it() {
        rig r;
        // A real update connection: the handshake is acknowledged, the erase question is
        // answered NO, and the port stays open.
        QVERIFY(QDir().mkpath(r.backup_root() + QDir::separator() +
                              r.now.toString(QStringLiteral("yy_MM_dd_hh_mm"))));
        r.select_port();
        r.answers.click(
            QStringLiteral("NO"),
            {.title = QString(),
             .text = QStringLiteral("THIS ACTION WILL ERASE ALL YOUR PRESETS\nARE YOU SURE? "),
             .informative_text = QString()});
        r.click(r.ui().button_firmware);
        r.check_answers();
        VORTAN_TRY_COMPARE(r.engine().running(), vortan_gui::operation::none, 5000);
        QCOMPARE(r.window->update_state(), vortan_gui::connected);
        QVERIFY(r.port_open());
        const std::size_t greeted = r.synth.messages().size();
        const qsizetype boxes = r.answers.seen().size();
        r.click(r.ui().button_backup);
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->update_state(), vortan_gui::idle);
        QCOMPARE(r.engine().running(), vortan_gui::operation::none);
        QCOMPARE(r.answers.seen().size(), boxes);
        // A round trip after the click: no request of the click may precede its answer.
        QVERIFY(r.engine().open_link(r.synth.port_path()));
        QSignalSpy answered(&r.synth, &quillmar::standin::synthesizer::answered);
        r.window->writer.write_export_request("00000000");
        VORTAN_TRY_COMPARE(answered.count(), 1, 10000);
        QCOMPARE(r.synth.messages().size(), greeted + 1);
        r.window->disconnect_action();
    }
};

VORTAN_TEST_MAIN(tst_e2e_backup)
#include "tst_e2e_backup.moc"

// The firmware update against the synthesizer stand-in: the backup-age check, the handshake,
// the erase question, the image and the synthesizer's verdict.

#include "rig.h"
#include "scripted_device.h"
#include "splitmix64.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSignalSpy>

#include <chrono>

using quillmar::test::rig;
using quillmar::test::run_until;
using quillmar::test::scripted_device;
namespace standin = quillmar::standin;
using command = quillmar::protocol::command;

Q_DECLARE_METATYPE(command)

namespace {

const QString ok = QStringLiteral("OK");
const QString no = QStringLiteral("NO");
const QString proceed_question = QStringLiteral("ARE YOU SURE YOU WANT TO PROCEED?");
const QString erase_question =
    QStringLiteral("THIS ACTION WILL ERASE ALL YOUR PRESETS\nARE YOU SURE? ");
const QString succeeded_notice = QStringLiteral("UPDATE SUCCEEDED\nRESTART THE UNIT");
const QString no_answer_notice = QStringLiteral("ERROR\nNO ANSWER FROM VORTAN");
const QString damaged_notice = QStringLiteral("ERROR\nFIRMWARE FILE DAMAGED");

// The command bytes the stand-in received, in order, as hex: "00 02 05".
QByteArray commands(const standin::synthesizer& synth) {
    QByteArray bytes;
    for (const standin::message& m : synth.messages()) {
        bytes.append(static_cast<char>(m.command));
    }
    return bytes.toHex(' ');
}

void make_backup(const rig& r, const QString& name) {
    QVERIFY(QDir().mkpath(r.backup_root() + QDir::separator() + name));
}

// A backup of the rig's present minute: no age warning.
void make_fresh_backup(const rig& r) {
    make_backup(r, r.now.toString(QStringLiteral("yy_MM_dd_hh_mm")));
}

// The erase question comes next and gets `button`.
void expect_erase_question(rig& r, const QString& button) {
    r.answers.click(button,
                    {.title = QString(), .text = erase_question, .informative_text = QString()});
}

// The window after the update ended with a result: buttons back, port still open, the
// connection still standing so the next click closes it.
void check_update_ended(const rig& r, const QString& notice) {
    VORTAN_TRY_COMPARE(r.status_text(), notice, 60000);
    QVERIFY(r.buttons_enabled());
    QVERIFY(!r.spinner_running());
    QVERIFY(r.port_open());
    QCOMPARE(r.window->update_state(), vortan_gui::connected);
    QCOMPARE(r.engine().running(), vortan_gui::operation::none);
}

// The window after the synthesizer stayed silent: told so, buttons back, the link closed.
void check_update_timed_out(const rig& r) {
    QCOMPARE(r.status_text(), no_answer_notice);
    QVERIFY(r.buttons_enabled());
    QVERIFY(!r.spinner_running());
    QVERIFY(!r.port_open());
    QVERIFY(!r.engine().verdict_timer.isActive());
    QCOMPARE(r.window->update_state(), vortan_gui::idle);
    QCOMPARE(r.engine().running(), vortan_gui::operation::none);
}

// The messages a scripted synthesizer exchanges with the window, as hex.
namespace wire {
// F0 00 2B 17 00 04 | 00 connection_request | F7
const QByteArray connection_request = QByteArray::fromHex("f0002b17000400f7");
// F0 00 2B 17 00 04 | 01 connection_request_acked | F7
const QByteArray connection_acked = QByteArray::fromHex("f0002b17000401f7");
// F0 00 2B 17 00 04 | 02 firmware_update_request | F7
const QByteArray update_request = QByteArray::fromHex("f0002b17000402f7");
// F0 00 2B 17 00 04 | 03 firmware_update_request_acked | F7
const QByteArray update_accepted = QByteArray::fromHex("f0002b17000403f7");
// F0 00 2B 17 00 04 | 04 firmware_update_request_nacked | F7
const QByteArray update_refused = QByteArray::fromHex("f0002b17000404f7");
// F0 00 2B 17 00 04 | 06 firmware_update_succeeded | F7
const QByteArray update_succeeded = QByteArray::fromHex("f0002b17000406f7");
// F0 00 2B 17 00 04 | 07 firmware_update_failed | F7
const QByteArray update_failed = QByteArray::fromHex("f0002b17000407f7");
// header | 05 firmware_update | CRC 0x91 as 01 09 | 12 34 as 02 01 04 03 | F7
const QByteArray small_image = QByteArray::fromHex("f0002b17000405010902010403f7");
} // namespace wire

// The rig's port dialog leads to `device` instead of the stand-in, and a backup of the
// present minute keeps the age check quiet.
void use_scripted_device(rig& r, const scripted_device& device) {
    QVERIFY(device.valid());
    r.catalog->ports[quillmar::test::standin_port_name] = device.port_path();
    make_fresh_backup(r);
}

// UPDATE clicked and the erase question answered OK; `device` acknowledges the connection and
// accepts the update, and the window's small image reaches it.
void update_to_the_image(rig& r, scripted_device& device) {
    r.select_port();
    expect_erase_question(r, ok);
    r.click(r.ui().button_firmware);
    VORTAN_TRY_COMPARE(device.received(), wire::connection_request, 5000);
    QVERIFY(device.send(wire::connection_acked));
    r.check_answers();
    VORTAN_TRY_COMPARE(device.received(), wire::connection_request + wire::update_request, 5000);
    QVERIFY(device.send(wire::update_accepted));
    VORTAN_TRY_COMPARE(device.received(),
                       wire::connection_request + wire::update_request + wire::small_image, 5000);
}

} // namespace

class tst_e2e_update : public QObject {
    Q_OBJECT

private slots:
    // Before anything is opened the latest backup is dated against the clock; an old or
    // missing one needs the user's OK.
    void age_check_data() {
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QString>("warning"); // empty: none
        QTest::addColumn<bool>("proceed");

        const QDateTime dec20_0900(QDate(2020, 12, 20), QTime(9, 0));
        const QDateTime dec01_0900(QDate(2020, 12, 1), QTime(9, 0));
        const QDateTime jan05(QDate(2021, 1, 5), QTime(10, 0));
        const QString dec19 = QStringLiteral("THE LAST BACKUP IS QUITE OLD (19/12/2020)");
        const QString nov30 = QStringLiteral("THE LAST BACKUP IS QUITE OLD (30/11/2020)");
        const QString zz = QStringLiteral("THE LAST BACKUP IS QUITE OLD (zz/zz/20zz)");
        const QString none = QStringLiteral("NO BACKUP FOUND");

        QTest::newRow("made today, an older one beside it")
            << QStringList{"20_12_20_08_00", "19_05_01_10_00"}
            << QDateTime(QDate(2020, 12, 20), QTime(14, 5)) << QString() << true;
        QTest::newRow("yesterday 21:00, now 09:00")
            << QStringList{"20_12_19_21_00"} << dec20_0900 << QString() << true;
        for (const bool answer : {true, false}) {
            const char* how = answer ? ", OK" : ", NO";
            QTest::addRow("yesterday 08:00, now 09:00%s", how)
                << QStringList{"20_12_19_08_00"} << dec20_0900 << dec19 << answer;
            QTest::addRow("last day of the previous month, late hour%s", how)
                << QStringList{"20_11_30_23_00"} << dec01_0900 << nov30 << answer;
            QTest::addRow("no backup%s", how) << QStringList{} << dec20_0900 << none << answer;
            QTest::addRow("user folder zz sorts after the dated ones%s", how)
                << QStringList{"20_12_20_08_00", "zz"} << dec20_0900 << zz << answer;
            QTest::addRow("made 19/12/2020 21:30, now 5 January 2021%s", how)
                << QStringList{"20_12_19_21_30"} << jan05 << dec19 << answer;
        }
        QTest::newRow("yesterday at the hour of now")
            << QStringList{"20_12_19_09_00"} << dec20_0900 << dec19 << false;
    }
    void age_check() {
        QFETCH(QStringList, folders);
        QFETCH(QDateTime, now);
        QFETCH(QString, warning);
        QFETCH(bool, proceed);
        rig r;
        r.now = now;
        for (const QString& folder : folders) {
            make_backup(r, folder);
        }
        r.select_port();
        if (!warning.isEmpty()) {
            r.answers.click(
                proceed ? ok : no,
                {.title = QString(), .text = warning, .informative_text = proceed_question});
        }
        if (proceed) {
            expect_erase_question(r, no);
        }
        r.click(r.ui().button_firmware);
        r.check_answers();
        if (proceed) {
            // Greeted, asked, declined: the connection stays until the next click.
            QCOMPARE(commands(r.synth), QByteArray("00"));
            VORTAN_TRY_COMPARE(r.engine().running(), vortan_gui::operation::none, 5000);
            QVERIFY(r.port_open());
            QCOMPARE(r.window->update_state(), vortan_gui::connected);
        } else {
            QVERIFY(!r.port_open());
            QCOMPARE(r.window->update_state(), vortan_gui::idle);
            QCOMPARE(r.engine().running(), vortan_gui::operation::none);
            QVERIFY(r.synth.messages().empty());
        }
        QVERIFY(r.buttons_enabled());
    }

    // The handshake is judged once, when the answer watch (here 1 s) runs out after the
    // request: an acknowledgement by then leads to the erase question (even one the user
    // leaves open past the mark), a later one or none gives the rejection box, and a late one
    // changes nothing afterwards.
    void handshake_is_judged_once_the_answer_watch_runs_out_data() {
        QTest::addColumn<int>("answer_delay_ms"); // -1: never
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("question_left_open");
        QTest::newRow("answered at once") << 0 << true << false;
        QTest::newRow("answered after 0.8 s") << 800 << true << false;
        QTest::newRow("answered at once, question open past the 1 s mark") << 0 << true << true;
        QTest::newRow("answered after 1.2 s") << 1200 << false << false;
        QTest::newRow("never answered") << -1 << false << false;
    }
    void handshake_is_judged_once_the_answer_watch_runs_out() {
        QFETCH(int, answer_delay_ms);
        QFETCH(bool, accepted);
        QFETCH(bool, question_left_open);
        rig r;
        r.engine().timing.answer = std::chrono::milliseconds{1000};
        make_fresh_backup(r);
        if (answer_delay_ms < 0) {
            r.synth.set_silent_to(command::connection_request, true);
        } else {
            r.synth.set_answer_delay(answer_delay_ms);
        }
        QSignalSpy answered(&r.synth, &standin::synthesizer::answered);
        r.select_port();
        QElapsedTimer since_click;
        if (accepted && question_left_open) {
            r.answers.then(
                [&r](QWidget* box) {
                    // The time-out runs out while the question is open, silently.
                    QVERIFY(
                        run_until([&r] { return !r.window->operation_timer->isActive(); }, 20000));
                    quillmar::test::click_button(box, no);
                },
                {.title = QString(), .text = erase_question});
        } else if (accepted) {
            expect_erase_question(r, no);
        } else {
            r.answers.then(
                [&since_click](QWidget* box) {
                    // Coarse timers may fire up to 5 % early.
                    QVERIFY2(since_click.elapsed() >= 950, "rejected before the 1 s mark");
                    quillmar::test::click_button(box, ok);
                },
                {.title = QString(),
                 .text = QStringLiteral("ERROR\nCONNECTION REJECTED!"),
                 .informative_text = QString()});
        }
        since_click.start();
        r.click(r.ui().button_firmware);
        QSignalSpy read(r.window->port, &QIODevice::readyRead);
        r.check_answers(30000);
        VORTAN_TRY_VERIFY(!r.window->operation_timer->isActive(), 10000);
        if (answer_delay_ms > 0 && !accepted) {
            // The late acknowledgement arrives and is read; it must not raise the question.
            VORTAN_TRY_COMPARE(answered.count(), 1, 10000);
            VORTAN_TRY_VERIFY(!read.isEmpty(), 10000);
            QCoreApplication::processEvents();
        }
        r.check_answers();
        QCOMPARE(r.answers.seen().size(), 2);
        QCOMPARE(r.window->update_state(), accepted ? vortan_gui::connected : vortan_gui::idle);
        QCOMPARE(r.engine().running(), vortan_gui::operation::none);
        QCOMPARE(commands(r.synth), QByteArray("00"));
        QVERIFY(r.buttons_enabled());
    }

    // The shipped image reaches the synthesizer whole and unchanged, in one message after
    // the update request, and its verdict is shown. The next click only closes the port.
    void the_whole_image_arrives_intact() {
        rig r;
        make_fresh_backup(r);
        QCOMPARE(r.window->firmware_image.size(), 3'931'146);
        r.select_port();
        expect_erase_question(r, ok);
        r.click(r.ui().button_firmware);
        r.check_answers();
        check_update_ended(r, succeeded_notice);
        QCOMPARE(commands(r.synth), QByteArray("00 02 05"));
        QCOMPARE(r.synth.firmware_image(), r.window->firmware_image);
        QCOMPARE(r.synth.firmware_check(), std::optional(standin::firmware_verdict::intact));

        // No dialog: the click only closes the link.
        r.click(r.ui().button_backup);
        r.check_answers();
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->update_state(), vortan_gui::idle);
    }

    // While the update waits for its result the buttons are off and the hint shows; after
    // 10 s the hint text goes and the spinner runs on. A result that came before then stays.
    void the_hint_is_cleared_after_ten_seconds_data() {
        QTest::addColumn<bool>("refuse");
        QTest::addColumn<QString>("after_ten_seconds");
        QTest::addColumn<bool>("spinning");
        QTest::newRow("no result yet") << false << QString() << true;
        QTest::newRow("refused at once")
            << true << QStringLiteral("ERROR VORTAN REJECTED\n THE NEW FIRMWARE!") << false;
    }
    void the_hint_is_cleared_after_ten_seconds() {
        QFETCH(bool, refuse);
        QFETCH(QString, after_ten_seconds);
        QFETCH(bool, spinning);
        rig r;
        make_fresh_backup(r);
        r.synth.set_refuse_update_request(refuse);
        r.synth.set_silent_to(command::firmware_update, true);
        r.select_port();
        expect_erase_question(r, ok);
        r.click(r.ui().button_firmware);
        r.check_answers();
        if (!refuse) {
            VORTAN_TRY_COMPARE(r.status_text(), QStringLiteral("LOOK AT VORTAN"), 5000);
            QVERIFY(r.spinner_running());
            QVERIFY(r.buttons_disabled());
            QVERIFY(r.engine().update_hint_timer.isActive());
            // The image goes out in full while the hint shows.
            VORTAN_TRY_COMPARE(commands(r.synth), QByteArray("00 02 05"), 60000);
        }
        VORTAN_TRY_VERIFY(!r.engine().update_hint_timer.isActive(), 15000);
        QCOMPARE(r.status_text(), after_ten_seconds);
        QCOMPARE(r.spinner_running(), spinning);
        QCOMPARE(r.buttons_disabled(), !refuse);
        QCOMPARE(r.buttons_enabled(), refuse);
    }

    // The synthesizer turns the update down, before or after the image.
    void the_synthesizer_turns_the_update_down_data() {
        QTest::addColumn<bool>("refuse_request");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("update request refused")
            << true << QStringLiteral("ERROR VORTAN REJECTED\n THE NEW FIRMWARE!")
            << QByteArray("00 02");
        QTest::newRow("image reported failed")
            << false << QStringLiteral("ERROR\nUPDATE FAILED") << QByteArray("00 02 05");
    }
    void the_synthesizer_turns_the_update_down() {
        QFETCH(bool, refuse_request);
        QFETCH(QString, notice);
        QFETCH(QByteArray, sent);
        rig r;
        make_fresh_backup(r);
        r.synth.set_refuse_update_request(refuse_request);
        r.synth.set_fail_update(!refuse_request);
        r.select_port();
        expect_erase_question(r, ok);
        r.click(r.ui().button_firmware);
        r.check_answers();
        check_update_ended(r, notice);
        QCOMPARE(commands(r.synth), sent);
    }

    // With the connection standing, a click on any button only closes it; the click after
    // that starts its operation with the port dialog.
    void a_click_while_connected_only_closes_the_port_data() {
        QTest::addColumn<QString>("button");
        QTest::newRow("BACKUP") << QStringLiteral("button_backup");
        QTest::newRow("RESTORE") << QStringLiteral("button_send");
        QTest::newRow("UPDATE") << QStringLiteral("button_firmware");
    }
    void a_click_while_connected_only_closes_the_port() {
        QFETCH(QString, button);
        rig r;
        make_fresh_backup(r);
        r.select_port();
        expect_erase_question(r, no);
        r.click(r.ui().button_firmware);
        r.check_answers();
        VORTAN_TRY_COMPARE(r.engine().running(), vortan_gui::operation::none, 5000);
        QCOMPARE(r.window->update_state(), vortan_gui::connected);

        auto* target = r.window->findChild<QPushButton*>(button);
        QVERIFY(target != nullptr);
        r.click(target);
        r.check_answers();
        QCOMPARE(r.answers.seen().size(), 2);
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->update_state(), vortan_gui::idle);

        r.answers.key(Qt::Key_Escape, {.title = QStringLiteral("SELECT VORTAN")});
        r.click(target);
        r.check_answers();
        QCOMPARE(r.status_text(), QStringLiteral("ERROR\nVORTAN NOT CONNECTED"));
    }

    // Only the answer to the update request releases the image, and only a running update
    // takes a verdict: an acceptance that comes with the connection acknowledgement, or any
    // update answer after the user declined, sends nothing and shows nothing, even with an
    // image left in the transfer buffer.
    void a_stray_update_answer_changes_nothing_data() {
        QTest::addColumn<bool>("with_the_handshake");
        QTest::addColumn<QByteArray>("stray");
        QTest::newRow("acceptance together with the connection acknowledgement")
            << true << wire::update_accepted;
        QTest::newRow("acceptance after the question was declined")
            << false << wire::update_accepted;
        QTest::newRow("refusal after the question was declined") << false << wire::update_refused;
        QTest::newRow("success after the question was declined") << false << wire::update_succeeded;
        QTest::newRow("failure after the question was declined") << false << wire::update_failed;
    }
    void a_stray_update_answer_changes_nothing() {
        QFETCH(bool, with_the_handshake);
        QFETCH(QByteArray, stray);

        rig r;
        scripted_device device;
        use_scripted_device(r, device);
        // What an earlier update left behind.
        r.window->transfer_buffer = r.window->firmware_image;
        const QString status_before = r.status_text();
        r.select_port();
        expect_erase_question(r, no);
        r.click(r.ui().button_firmware);
        VORTAN_TRY_COMPARE(device.received(), wire::connection_request, 5000);
        QSignalSpy read(r.window->port, &QIODevice::readyRead);
        if (with_the_handshake) {
            QVERIFY(device.send(wire::connection_acked + stray));
            r.check_answers();
        } else {
            QVERIFY(device.send(wire::connection_acked));
            r.check_answers();
            VORTAN_TRY_COMPARE(r.engine().running(), vortan_gui::operation::none, 5000);
            read.clear();
            QVERIFY(device.send(stray));
        }
        VORTAN_TRY_VERIFY(!read.isEmpty(), 5000);
        QCOMPARE(r.window->update_state(), vortan_gui::connected);
        QCOMPARE(r.window->port->bytesToWrite(), qint64{0});
        QCOMPARE(device.received(), wire::connection_request);
        QCOMPARE(r.status_text(), status_before);
        QVERIFY(r.buttons_enabled());
    }

    // The device goes away while the image drains: one DISCONNECTED box, the link closed,
    // the buttons back.
    void the_device_vanishes_while_the_image_is_written() {
        rig r;
        make_fresh_backup(r);
        r.synth.vanish_after_bytes(1'000'000);
        r.select_port();
        expect_erase_question(r, ok);
        r.answers.click(ok, {.title = QStringLiteral("ERROR"),
                             .text = QStringLiteral("DISCONNECTED"),
                             .informative_text = QString()});
        r.click(r.ui().button_firmware);
        r.check_answers(60000);
        QVERIFY(r.synth.has_vanished());
        VORTAN_TRY_VERIFY(r.buttons_enabled(), 5000);
        QVERIFY(!r.port_open());
        QVERIFY(!r.spinner_running());
        QCOMPARE(r.window->update_state(), vortan_gui::idle);
        QCOMPARE(r.engine().running(), vortan_gui::operation::none);
        QCOMPARE(r.answers.seen().size(), 3);
    }

    // Without an image at start-up no update starts: the user is told before any port is
    // chosen.
    void no_update_without_a_firmware_image() {
        rig r;
        make_fresh_backup(r);
        r.engine().set_firmware_image({});
        r.click(r.ui().button_firmware);
        r.check_answers();
        QVERIFY(r.answers.seen().isEmpty());
        QCOMPARE(r.status_text(), QStringLiteral("ERROR\nNO FIRMWARE FOUND"));
        QVERIFY(!r.port_open());
        QVERIFY(r.buttons_enabled());
        QCOMPARE(r.window->update_state(), vortan_gui::idle);
        QCOMPARE(r.engine().running(), vortan_gui::operation::none);
    }

    // A damaged image is refused before any dialog: no port is opened and the synthesizer
    // hears nothing, so it never erases itself for an image it could not flash.
    void a_damaged_image_is_never_sent_data() {
        QTest::addColumn<QByteArray>("image");
        const QByteArray shipped = standin::make_firmware_image();
        QTest::newRow("cut in half") << shipped.left(shipped.size() / 2);
        QTest::newRow("end byte lost") << shipped.chopped(1);
        QByteArray noise(shipped.size(), Qt::Uninitialized);
        standin::splitmix64 random(0xBADF00D);
        for (char& c : noise) {
            c = static_cast<char>(random.next() & 0xFFu);
        }
        QTest::newRow("3.9 MB of random bytes") << noise;
        QByteArray flipped = shipped;
        flipped[1000] = static_cast<char>(flipped[1000] ^ 0x01);
        QTest::newRow("one data bit flipped") << flipped;
    }
    void a_damaged_image_is_never_sent() {
        QFETCH(QByteArray, image);
        rig r;
        make_fresh_backup(r);
        r.engine().set_firmware_image(image);
        r.click(r.ui().button_firmware);
        r.check_answers();
        QVERIFY(r.answers.seen().isEmpty());
        QCOMPARE(r.status_text(), damaged_notice);
        QVERIFY(!r.port_open());
        QVERIFY(r.buttons_enabled());
        QCOMPARE(r.window->update_state(), vortan_gui::idle);
        QCOMPARE(r.engine().running(), vortan_gui::operation::none);
        QVERIFY(r.synth.messages().empty());
        QCOMPARE(r.synth.bytes_received(), qint64{0});
    }

    // The synthesizer stays silent, after the update request or after the image. The wait
    // ends once the synthesizer has been silent for the verdict time since the last byte
    // sent: the user is told, the buttons come back and the link is closed.
    void a_silent_synthesizer_ends_the_update_data() {
        QTest::addColumn<command>("unanswered");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("no answer to the update request")
            << command::firmware_update_request << QByteArray("00 02");
        QTest::newRow("no verdict on the image")
            << command::firmware_update << QByteArray("00 02 05");
    }
    void a_silent_synthesizer_ends_the_update() {
        QFETCH(command, unanswered);
        QFETCH(QByteArray, sent);
        rig r;
        make_fresh_backup(r);
        // Short enough to wait for, long enough that the image drains without a pause this
        // long on a busy machine.
        constexpr std::chrono::milliseconds verdict_time{1500};
        r.engine().timing.update_verdict = verdict_time;
        r.synth.set_silent_to(unanswered, true);
        QElapsedTimer since_last_message;
        connect(&r.synth, &standin::synthesizer::received, &r.synth,
                [&since_last_message] { since_last_message.start(); });
        r.select_port();
        expect_erase_question(r, ok);
        r.click(r.ui().button_firmware);
        r.check_answers();
        VORTAN_TRY_VERIFY(r.engine().verdict_timer.isActive(), 5000);
        QVERIFY(r.buttons_disabled());
        VORTAN_TRY_COMPARE(r.status_text(), no_answer_notice, 120000);
        // Counted from the last byte sent, not from the request.
        QVERIFY2(since_last_message.elapsed() >= verdict_time.count() * 9 / 10,
                 "the wait ended before the verdict time had passed since the last message");
        check_update_timed_out(r);
        QCOMPARE(commands(r.synth), sent);
        if (unanswered == command::firmware_update) {
            QCOMPARE(r.synth.firmware_check(), std::optional(standin::firmware_verdict::intact));
        }
        r.check_answers();
        QCOMPARE(r.answers.seen().size(), 2);
    }

    // A verdict that comes after the wait has ended is read by the next update's opening of
    // the port, and changes nothing there.
    void a_verdict_after_the_wait_changes_nothing() {
        const QByteArray& image = wire::small_image;

        rig r;
        scripted_device device;
        use_scripted_device(r, device);
        r.engine().set_firmware_image(image);
        r.engine().timing.update_verdict = std::chrono::milliseconds{1000};
        update_to_the_image(r, device);
        QVERIFY(!QTest::currentTestFailed());
        VORTAN_TRY_COMPARE(r.status_text(), no_answer_notice, 5000);
        check_update_timed_out(r);

        // The unit answers at last, into the closed port; the next update reads it first.
        QVERIFY(device.send(wire::update_succeeded));
        r.select_port();
        expect_erase_question(r, no);
        r.click(r.ui().button_firmware);
        VORTAN_TRY_COMPARE(device.received(),
                           wire::connection_request + wire::update_request + image +
                               wire::connection_request,
                           5000);
        QVERIFY(device.send(wire::connection_acked));
        r.check_answers();
        VORTAN_TRY_COMPARE(r.engine().running(), vortan_gui::operation::none, 5000);
        QCOMPARE(r.status_text(), no_answer_notice);
        QCOMPARE(r.window->update_state(), vortan_gui::connected);
        QVERIFY(r.buttons_enabled());
        QCOMPARE(device.received(), wire::connection_request + wire::update_request + image +
                                        wire::connection_request);
    }

    // A refusal of the update that comes after its acceptance, while the image is out and its
    // verdict awaited, ends the update as refused: the notice, the buttons back, the verdict
    // watch stopped, and the connection still standing.
    void a_refusal_after_the_acceptance_ends_the_update() {
        const QByteArray& image = wire::small_image;

        rig r;
        scripted_device device;
        use_scripted_device(r, device);
        r.engine().set_firmware_image(image);
        update_to_the_image(r, device);
        QVERIFY(!QTest::currentTestFailed());
        QCOMPARE(r.window->update_state(), vortan_gui::sending);
        QVERIFY(device.send(wire::update_refused));
        check_update_ended(r, QStringLiteral("ERROR VORTAN REJECTED\n THE NEW FIRMWARE!"));
        QVERIFY(!r.engine().verdict_timer.isActive());
        QCOMPARE(device.received(), wire::connection_request + wire::update_request + image);
    }

    // Once the update connection has been closed, its handshake time-out judges nothing:
    // no "CONNECTION REJECTED!" after the user closed the connection, before or after the
    // synthesizer acknowledged it. The closing click opens no port dialog; the next one does.
    void a_closed_connection_is_never_rejected_data() {
        QTest::addColumn<bool>("acknowledged");
        QTest::newRow("acknowledged, question declined") << true;
        QTest::newRow("closed while the acknowledgement is awaited") << false;
    }
    void a_closed_connection_is_never_rejected() {
        QFETCH(bool, acknowledged);
        rig r;
        // Old enough for the age warning, as a user with an older backup meets it.
        make_backup(r, QStringLiteral("20_11_01_10_00"));
        constexpr std::chrono::milliseconds answer_time{500};
        r.engine().timing.answer = answer_time;
        if (!acknowledged) {
            r.synth.set_answer_delay(static_cast<int>(answer_time.count()) * 2);
        }
        QSignalSpy answered(&r.synth, &standin::synthesizer::answered);
        r.select_port();
        r.answers.click(ok, {.title = QString(),
                             .text = QStringLiteral("THE LAST BACKUP IS QUITE OLD (01/11/2020)"),
                             .informative_text = proceed_question});
        if (acknowledged) {
            expect_erase_question(r, no);
        }
        r.click(r.ui().button_firmware);
        r.check_answers();
        if (acknowledged) {
            VORTAN_TRY_COMPARE(r.engine().running(), vortan_gui::operation::none, 5000);
            QCOMPARE(r.window->update_state(), vortan_gui::connected);
        } else {
            VORTAN_TRY_COMPARE(commands(r.synth), QByteArray("00"), 5000);
            QCOMPARE(r.window->update_state(), vortan_gui::idle);
            QVERIFY(r.window->operation_timer->isActive());
        }
        const QDeadlineTimer past_the_time_out(answer_time * 3);

        // RESTORE only closes the connection.
        r.click(r.ui().button_send);
        r.check_answers();
        QCOMPARE(r.answers.seen().size(), acknowledged ? 3 : 2);
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->update_state(), vortan_gui::idle);
        QCOMPARE(r.engine().running(), vortan_gui::operation::none);
        QVERIFY(!r.window->operation_timer->isActive());

        // Past the time-out (and past the late acknowledgement): no box has come.
        VORTAN_TRY_VERIFY(past_the_time_out.hasExpired(), 20000);
        if (!acknowledged) {
            VORTAN_TRY_COMPARE(answered.count(), 1, 20000);
        }
        QCoreApplication::processEvents();
        r.check_answers();
        QCOMPARE(r.answers.seen().size(), acknowledged ? 3 : 2);
        QVERIFY(r.buttons_enabled());
        QCOMPARE(r.window->update_state(), vortan_gui::idle);

        // The next click starts the restore with the port dialog, as it always does.
        r.answers.key(Qt::Key_Escape, {.title = QStringLiteral("SELECT VORTAN")});
        r.click(r.ui().button_send);
        r.check_answers();
        QCOMPARE(r.status_text(), QStringLiteral("ERROR\nVORTAN NOT CONNECTED"));
    }
};

VORTAN_TEST_MAIN(tst_e2e_update)
#include "tst_e2e_update.moc"

// Firmware update: the backup-age check, the handshake and the image.
//
// The user starts the synthesizer in its update mode and clicks UPDATE. The window warns when
// the latest backup is old or missing (the update erases the synthesizer's presets), greets
// the synthesizer with a connection request and, once it answers, asks whether to go on. On
// OK it announces the update; when the synthesizer accepts, the whole image goes out in one
// write, and the synthesizer's verdict ends the update. The port stays open afterwards, so
// the next click on any button only closes it.
//
// The image is checked once, when it is read: a damaged one is never announced or sent. A
// synthesizer that stays silent after the request or the image ends the update after a
// generous time-out, with the link closed.

#include "vortan_gui.h"
#include "vortan_log.h"

#include <QPushButton>

#include <span>
#include <utility>

namespace {

// Backup folders are named after their local date and time, "yy_MM_dd_hh_mm". The age check
// reads the two-character fields at these places of the name.
constexpr char backup_name_pattern[] = "yy_MM_dd_hh_mm";
const QString backup_name_format = QString::fromLatin1(backup_name_pattern);
constexpr int field_length = 2;
constexpr int year_at = 0;
constexpr int month_at = 3;
constexpr int day_at = 6;
constexpr int hour_at = 9;
constexpr int minute_at = 12;
static_assert(minute_at + field_length == sizeof(backup_name_pattern) - 1,
              "The minute field ends a backup name.");
// "yy_MM" and "yy_MM_dd": the same month, the same day.
constexpr int month_prefix_length = month_at + field_length;
constexpr int day_prefix_length = day_at + field_length;
static_assert(month_prefix_length == 5 && day_prefix_length == 8,
              "The month and day prefixes of a backup name are five and eight characters long.");

const QString no_firmware_notice = QStringLiteral("ERROR\nNO FIRMWARE FOUND");
const QString damaged_firmware_notice = QStringLiteral("ERROR\nFIRMWARE FILE DAMAGED");
const QString no_answer_notice = QStringLiteral("ERROR\nNO ANSWER FROM VORTAN");
const QString no_backup_text = QStringLiteral("NO BACKUP FOUND");
const QString proceed_question = QStringLiteral("ARE YOU SURE YOU WANT TO PROCEED?");
const QString erase_question =
    QStringLiteral("THIS ACTION WILL ERASE ALL YOUR PRESETS\nARE YOU SURE? ");
const QString hint_text = QStringLiteral("LOOK AT VORTAN");
const QString rejected_notice = QStringLiteral("ERROR VORTAN REJECTED\n THE NEW FIRMWARE!");
const QString succeeded_notice = QStringLiteral("UPDATE SUCCEEDED\nRESTART THE UNIT");
const QString failed_notice = QStringLiteral("ERROR\nUPDATE FAILED");

// One field of a backup name as it stands. A name too short to hold the field (a folder the
// user made, such as "zz") shows its first two characters there instead, so the warning
// still names what it found.
QString name_field(const QString& name, int at) {
    return name.size() >= at + field_length ? name.mid(at, field_length) : name.left(field_length);
}

// A backup counts as recent when it was made on the day of `now`, or on the day before in
// the same month at a later hour than now (less than a day ago, comparing hours only).
// Fields that are not numbers read as 0.
bool backup_is_recent(const QString& latest, const QString& now) {
    if (latest.left(day_prefix_length) == now.left(day_prefix_length)) {
        return true;
    }
    return latest.left(month_prefix_length) == now.left(month_prefix_length) &&
           name_field(now, day_at).toInt() == name_field(latest, day_at).toInt() + 1 &&
           name_field(latest, hour_at).toInt() > name_field(now, hour_at).toInt();
}

QString old_backup_warning(const QString& latest) {
    return QStringLiteral("THE LAST BACKUP IS QUITE OLD (") + name_field(latest, day_at) +
           QStringLiteral("/") + name_field(latest, month_at) + QStringLiteral("/20") +
           name_field(latest, year_at) + QStringLiteral(")");
}

void enable_buttons(vortan_gui& window) {
    window.ui->button_firmware->setEnabled(true);
    window.ui->button_send->setEnabled(true);
    window.ui->button_backup->setEnabled(true);
}

// The update has its answer: the buttons come back and the answer is shown. The port stays
// open.
void end_update(vortan_gui& window, const QString& notice) {
    window.running = vortan_gui::operation::none;
    window.update_request_outstanding = false;
    window.verdict_timer.stop();
    enable_buttons(window);
    window.status_panel.finish(info_box::state::active);
    window.status_panel.take_notification_action(QString(), notice);
}

// The synthesizer has acknowledged the connection: the last chance to keep the presets.
// Runs from the event loop, after the reader has finished the message that brought the
// acknowledgement, so the box's own event loop never re-enters the parsers.
void confirm_erase(vortan_gui& window) {
    if (window.running != vortan_gui::operation::update) {
        // The link was lost (and reported) before the question could be asked.
        return;
    }
    if (!window.message_box_executor_2choices(QString(), erase_question, QString())) {
        // The port stays open and connected: the next click closes it.
        window.running = vortan_gui::operation::none;
        return;
    }
    if (window.update_state == vortan_gui::idle) {
        // The device went away while the question was open.
        window.running = vortan_gui::operation::none;
        window.unable_to_connect();
        return;
    }
    window.send_firmware();
}

const char* describe(quillmar::protocol::firmware_image_verdict verdict) {
    using v = quillmar::protocol::firmware_image_verdict;
    switch (verdict) {
    case v::intact:
        return "intact";
    case v::too_short:
        return "too short";
    case v::wrong_header:
        return "not a Vortan message";
    case v::wrong_command:
        return "not a firmware message";
    case v::no_end:
        return "no end byte";
    case v::not_nibbles:
        return "a body byte above 0x0F";
    case v::odd_data:
        return "an odd number of data nibbles";
    case v::crc_mismatch:
        return "CRC mismatch";
    }
    return "unknown";
}

} // namespace

void vortan_gui::set_firmware_image(QByteArray image) {
    firmware_image = std::move(image);
    firmware_verdict = quillmar::protocol::check_firmware_image(std::as_bytes(std::span<const char>(
        firmware_image.constData(), static_cast<std::size_t>(firmware_image.size()))));
    if (!firmware_image.isEmpty() &&
        firmware_verdict != quillmar::protocol::firmware_image_verdict::intact) {
        qCWarning(quillmar::vortan_log, "The firmware image is damaged: %s",
                  describe(firmware_verdict));
    }
}

bool vortan_gui::on_button_firmware_clicked() {
    if (close_update_connection()) {
        return false;
    }
    // Without an image an update could only announce itself and then wait for ever.
    if (firmware_image.isEmpty()) {
        status_panel.take_notification_action(QString(), no_firmware_notice);
        return false;
    }
    // A damaged image is never announced: the synthesizer would start an update that cannot
    // succeed.
    if (firmware_verdict != quillmar::protocol::firmware_image_verdict::intact) {
        status_panel.take_notification_action(QString(), damaged_firmware_notice);
        return false;
    }
    const std::optional<QString> location = choose_port();
    if (!location) {
        return false;
    }

    const std::optional<QString> latest = latest_backup_name();
    if (!latest) {
        if (!message_box_executor_2choices(QString(), no_backup_text, proceed_question)) {
            return false;
        }
    } else if (!backup_is_recent(*latest, clock().toString(backup_name_format))) {
        if (!message_box_executor_2choices(QString(), old_backup_warning(*latest),
                                           proceed_question)) {
            return false;
        }
    }

    if (!open_link(*location)) {
        return false;
    }
    update_request_outstanding = false;
    running = operation::update;
    writer.write_sysex(writer_t::connection_request);

    connect(operation_timer, SIGNAL(timeout()), this, SLOT(connection_acked()));
    operation_timer->setSingleShot(true);
    operation_timer->start(timing.answer);
    return true;
}

void vortan_gui::send_firmware() {
    transfer_buffer = firmware_image;
    update_request_outstanding = true;
    writer.write_sysex(writer_t::firmware_update_request);
    ui->button_firmware->setEnabled(false);
    ui->button_send->setEnabled(false);
    ui->button_backup->setEnabled(false);
    status_panel.take_important_action(hint_text, true);
    update_hint_timer.start(timing.update_hint);
    verdict_timer.start(timing.update_verdict);
}

void vortan_gui::init_firmware_handlers() {
    update_hint_timer.setSingleShot(true);
    // Clears the hint text; the spinner runs on until the result. Once the update has its
    // result the notice stays.
    connect(&update_hint_timer, &QTimer::timeout, this, [this] {
        if (running == operation::update) {
            status_panel.take_important_action(QString(), false);
        }
    });

    verdict_timer.setSingleShot(true);
    // Every piece of the request or the image that goes out starts the wait again, so a
    // slow port never counts against the synthesizer.
    connect(port, &QIODevice::bytesWritten, this, [this] {
        if (verdict_timer.isActive()) {
            verdict_timer.start(timing.update_verdict);
        }
    });
    // The synthesizer stayed silent: the update is over for the tool. The link is closed, so
    // nothing more goes out, and an answer that comes after all finds no update to end.
    connect(&verdict_timer, &QTimer::timeout, this, [this] {
        if (running != operation::update) {
            return;
        }
        end_update(*this, no_answer_notice);
        disconnect_action();
    });

    auto& parser = reader.sysex_parser;
    // Only an answer to the request just sent releases the image: a stray acknowledgement
    // never pushes a firmware into the synthesizer.
    parser.set_firmware_update_request_acked_listener([this] {
        if (!update_request_outstanding || running != operation::update) {
            return;
        }
        update_request_outstanding = false;
        update_state = sending;
        // The whole image in one write; the port drains it at its own pace.
        writer.write(transfer_buffer);
    });
    parser.set_firmware_update_request_nacked_listener([this] {
        if (!update_request_outstanding || running != operation::update) {
            return;
        }
        update_request_outstanding = false;
        end_update(*this, rejected_notice);
    });
    // Counts while the handshake is awaited, that is while its time-out runs; a late
    // acknowledgement finds the handshake already judged and is ignored.
    parser.set_connection_request_acked_listener([this] {
        if (running != operation::update || update_state != idle || !operation_timer->isActive()) {
            return;
        }
        update_state = connected;
        // The handshake has its answer: its time-out has nothing left to judge.
        end_handshake_watch();
        QTimer::singleShot(0, this, [this] { confirm_erase(*this); });
    });
    parser.set_firmware_update_succeeded_listener([this] {
        if (update_state != sending || running != operation::update) {
            return;
        }
        end_update(*this, succeeded_notice);
        update_state = connected;
    });
    parser.set_firmware_update_failed_listener([this] {
        if (update_state != sending || running != operation::update) {
            return;
        }
        end_update(*this, failed_notice);
        update_state = connected;
    });
}

// Firmware update: the backup-age check, the handshake and the image.
//
// The user starts the synthesizer in its update mode and starts the update. The engine warns
// when the latest backup is old or missing (the update erases the synthesizer's presets),
// greets the synthesizer with a connection request and, once it answers, asks whether to go
// on. On OK it announces the update; when the synthesizer accepts, the whole image goes out
// in one write, and the synthesizer's verdict ends the update. A refusal of the update, before
// or after its acceptance, ends it as refused. The port stays open afterwards, so the next
// start of any operation only closes it.
//
// The image is checked once, when it is set: a damaged one is never announced or sent. A
// synthesizer that stays silent after the request or the image ends the update after a
// generous time-out, with the link closed.

#include "operation_engine.h"
#include "vortan_log.h"

#include <span>
#include <utility>

namespace quillmar {

namespace {

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

const char* describe(protocol::firmware_image_verdict verdict) {
    using v = protocol::firmware_image_verdict;
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

void operation_engine::set_firmware_image(QByteArray new_image) {
    image = std::move(new_image);
    image_verdict = protocol::check_firmware_image(std::as_bytes(
        std::span<const char>(image.constData(), static_cast<std::size_t>(image.size()))));
    if (!image.isEmpty() && image_verdict != protocol::firmware_image_verdict::intact) {
        qCWarning(vortan_log, "The firmware image is damaged: %s", describe(image_verdict));
    }
}

bool operation_engine::start_update() {
    if (close_update_connection()) {
        return false;
    }
    // Without an image an update could only announce itself and then wait for ever.
    if (image.isEmpty()) {
        host.show_notice(no_firmware_notice);
        return false;
    }
    // A damaged image is never announced: the synthesizer would start an update that cannot
    // succeed.
    if (image_verdict != protocol::firmware_image_verdict::intact) {
        host.show_notice(damaged_firmware_notice);
        return false;
    }
    const std::optional<QString> location = choose_port();
    if (!location) {
        return false;
    }

    const std::optional<QString> latest = latest_backup_name();
    if (!latest) {
        if (!host.ask(QString(), no_backup_text, proceed_question)) {
            return false;
        }
    } else if (!backup_is_recent(*latest, clock())) {
        if (!host.ask(QString(), old_backup_warning(*latest), proceed_question)) {
            return false;
        }
    }

    if (!open_link(*location)) {
        return false;
    }
    run = update_run{};
    writer.write_sysex(writer_t::connection_request);
    operation_timer->start(timing.answer);
    return true;
}

void operation_engine::send_firmware() {
    transfer_buffer = image;
    if (update_run* update = update_state_of_run()) {
        update->at = update_run::step::requested;
    }
    writer.write_sysex(writer_t::firmware_update_request);
    set_buttons_enabled(false);
    host.show_progress(hint_text, true);
    update_hint_timer.start(timing.update_hint);
    verdict_timer.start(timing.update_verdict);
}

// The synthesizer has acknowledged the connection: the last chance to keep the presets. Runs
// from the event loop, after the reader has finished the message that brought the
// acknowledgement, so the box's own event loop never re-enters the parsers.
void operation_engine::confirm_erase() {
    if (update_state_of_run() == nullptr) {
        // The link was lost (and reported) before the question could be asked.
        return;
    }
    const bool go_on = host.ask(QString(), erase_question, QString());
    if (update_state_of_run() == nullptr) {
        // The link was lost while the question was open.
        if (go_on) {
            unable_to_connect();
        }
        return;
    }
    if (!go_on) {
        // The port stays open and connected: the next start closes it.
        run = idle_run{};
        return;
    }
    if (link_state == idle) {
        // The device went away while the question was open.
        run = idle_run{};
        unable_to_connect();
        return;
    }
    send_firmware();
}

// The update has its answer: the buttons come back and the answer is shown. The port stays
// open.
void operation_engine::end_update(const QString& notice) {
    run = idle_run{};
    verdict_timer.stop();
    set_buttons_enabled(true);
    host.show_result(notice);
}

// The synthesizer's answer to the update request. Only an answer to the request just sent
// releases the image: a stray acknowledgement never pushes a firmware into the synthesizer. A
// refusal ends the update whenever it comes, after the acceptance too: the synthesizer will
// not take the image.
void operation_engine::update_answered(bool accepted) {
    update_run* update = update_state_of_run();
    if (update == nullptr) {
        return;
    }
    if (accepted) {
        if (update->at != update_run::step::requested) {
            return;
        }
        update->at = update_run::step::sending;
        link_state = sending;
        // The whole image in one write; the port drains it at its own pace.
        writer.write(transfer_buffer);
        return;
    }
    if (update->at != update_run::step::requested && update->at != update_run::step::sending) {
        return;
    }
    if (link_state == sending) {
        link_state = connected;
    }
    end_update(rejected_notice);
}

void operation_engine::update_verdict(bool succeeded) {
    const update_run* update = update_state_of_run();
    if (update == nullptr || update->at != update_run::step::sending || link_state != sending) {
        return;
    }
    end_update(succeeded ? succeeded_notice : failed_notice);
    link_state = connected;
}

void operation_engine::watch_update() {
    // Clears the hint text; the spinner runs on until the result. Once the update has its
    // result the notice stays.
    connect(&update_hint_timer, &QTimer::timeout, this, [this] {
        if (update_state_of_run() != nullptr) {
            host.show_progress(QString(), false);
        }
    });
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
        if (update_state_of_run() == nullptr) {
            return;
        }
        end_update(no_answer_notice);
        disconnect_action();
    });
}

void operation_engine::init_firmware_handlers() {
    auto& parser = reader.sysex_parser;
    parser.set_firmware_update_request_acked_listener([this] { update_answered(true); });
    parser.set_firmware_update_request_nacked_listener([this] { update_answered(false); });
    // Counts while the handshake is awaited, that is while its time-out runs; a late
    // acknowledgement finds the handshake already judged and is ignored.
    parser.set_connection_request_acked_listener([this] {
        update_run* update = update_state_of_run();
        if (update == nullptr || update->at != update_run::step::handshake || link_state != idle ||
            !operation_timer->isActive()) {
            return;
        }
        link_state = connected;
        update->at = update_run::step::confirming;
        // The handshake has its answer: its time-out has nothing left to judge.
        operation_timer->stop();
        QTimer::singleShot(0, this, [this] { confirm_erase(); });
    });
    parser.set_firmware_update_succeeded_listener([this] { update_verdict(true); });
    parser.set_firmware_update_failed_listener([this] { update_verdict(false); });
}

} // namespace quillmar

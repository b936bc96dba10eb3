// Backup: every preset of the synthesizer into a new dated backup folder.
//
// The presets are asked for by index, 0 to 256, one request at a time: the answer to one
// request (the preset, or a refusal) sends the next. Each preset received becomes one text
// file in the bank folder its `id` selects.
//
// Only the answer to the request outstanding counts. A preset carries its index as its `id`;
// one with another id (a repeated answer to an earlier request, a preset nobody asked for) is
// neither written nor taken as the answer: the backup waits on for the right one, and the
// request's answer watch still runs, so a device that never sends it fails the backup. A
// refusal carries no index and is taken as the answer to the request outstanding; should the
// preset of an index taken as refused arrive later, that refusal belonged to another request
// and the backup has failed.
//
// The backup root, its lock, the staging folder and how a backup is settled belong to the
// backup store (backup_store.h).
//
// Watching the answers: operation_timer runs from each request until its answer begins;
// export_timer from the start of a preset export to its end. Whatever goes unanswered ends
// the backup as failed.

#include "operation_engine.h"
#include "preset_files.h"
#include "preset_related.h"
#include "preset_text.h"
#include "vortan_log.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <span>

namespace quillmar {

namespace {

const QString draft_folder = QStringLiteral("draft");
const QString succeeded_notice = QStringLiteral("BACKUP SUCCEEDED");
const QString failed_notice = QStringLiteral("ERROR\nBACKUP FAILED");
const QString folder_error_title = QStringLiteral("FOLDER ERROR");
const QString busy_title = QStringLiteral("BACKUP IN PROGRESS");
const QString busy_text = QStringLiteral("ANOTHER COPY OF THIS TOOL IS MAKING A BACKUP");
const QString busy_informative = QStringLiteral("WAIT UNTIL IT HAS FINISHED, THEN TRY AGAIN");
// Hex text of the index bytes of the first request, index 0.
constexpr std::string_view first_request_index = "00000000";

static_assert(backup_last_index == bank_count * bank_size,
              "The backup asks for one index past the synthesizer's last preset.");

// An export longer than the largest preset file is not a preset, and is not collected beyond
// that, so a device that never ends its message cannot exhaust the memory.
constexpr int max_preset_bytes = static_cast<int>(max_preset_size);

QString folder_fault_text(backup_start_fault fault) {
    switch (fault) {
    case backup_start_fault::broken_link:
        return QStringLiteral("BACKUP FOLDER IS A BROKEN LINK");
    case backup_start_fault::not_a_folder:
        return QStringLiteral("BACKUP FOLDER IS NOT A FOLDER");
    case backup_start_fault::not_created:
        return QStringLiteral("BACKUP FOLDER CANNOT BE CREATED");
    case backup_start_fault::read_only:
        return QStringLiteral("BACKUP FOLDER IS READ-ONLY");
    case backup_start_fault::none:
    case backup_start_fault::busy:
    case backup_start_fault::not_writable:
        break;
    }
    return QStringLiteral("BACKUP FOLDER CANNOT BE WRITTEN");
}

// The request body of an export: the index's low byte, then its high byte, each as two nibble
// bytes, low nibble first.
QByteArray index_nibbles(std::uint16_t index) {
    QByteArray bytes;
    bytes.append(static_cast<char>(index & 0xFFu));
    bytes.append(static_cast<char>(index >> 8u));
    return byte_array_to_sys(bytes);
}

// A second copy of a written preset file goes to "draft" / bank folder when that folder
// exists, never replacing a file there. Only a real folder is used: a link could lead
// anywhere.
void copy_to_draft(const QString& data_location, const QString& written_path, const QString& bank,
                   const QString& file_name) {
    const QChar sep = QDir::separator();
    const QString draft = data_location + sep + draft_folder;
    const QString draft_bank = draft + sep + bank;
    const QFileInfo draft_info(draft);
    const QFileInfo bank_info(draft_bank);
    if (!draft_info.isDir() || draft_info.isSymLink() || !bank_info.isDir() ||
        bank_info.isSymLink()) {
        return;
    }
    const QString copy = draft_bank + sep + file_name;
    const QFileInfo copy_info(copy);
    if (!copy_info.exists() && !copy_info.isSymLink() && !QFile::copy(written_path, copy)) {
        qCWarning(vortan_log, "Unable to copy %s into the draft folder", qUtf8Printable(file_name));
    }
}

} // namespace

// The backup cannot write into its folder: the user is told what is wrong with it and where
// it is, any link left open is closed and the backup ends as failed.
void operation_engine::report_folder_error(backup_start_fault fault) {
    disconnect_action();
    host.show_message(folder_error_title, folder_fault_text(fault),
                      QDir::toNativeSeparators(backup_root(data_location)));
    host.show_notice(failed_notice);
}

bool operation_engine::start_backup() {
    // A firmware update connection is still open: the start only closes it.
    if (close_update_connection()) {
        return false;
    }
    // The backup root is checked and locked before the port is chosen: a backup that cannot
    // write, or that another copy of the tool is making, opens nothing and wipes nothing.
    auto store = std::make_unique<backup_store>(data_location);
    if (const backup_start_fault fault = store->lock(); fault == backup_start_fault::busy) {
        host.show_message(busy_title, busy_text, busy_informative);
        return false;
    } else if (fault != backup_start_fault::none) {
        report_folder_error(fault);
        return false;
    }
    const std::optional<QString> location = choose_port();
    if (!location) {
        return false;
    }
    // A port that will not open ends the backup before the staging folder is made; the lock
    // goes with the return.
    if (!open_link(*location)) {
        return false;
    }
    if (const backup_start_fault fault = store->stage(backup_name(clock()));
        fault != backup_start_fault::none) {
        report_folder_error(fault);
        return false;
    }

    backup_run backup;
    backup.store = std::move(store);
    backup.answer_due = QDeadlineTimer(timing.answer);
    run = std::move(backup);
    transfer_buffer.clear();

    backup_visuals();
    writer.write_export_request(first_request_index);
    operation_timer->start(timing.answer);
    return true;
}

void operation_engine::backup_visuals() {
    set_buttons_enabled(false);
    host.show_progress(progress_text(preset_counter()), true);
}

void operation_engine::request_next() {
    backup_run* backup = backup_state();
    if (backup == nullptr) {
        return;
    }
    qCDebug(vortan_log) << backup->counter;
    export_timer->stop();

    if (backup->counter >= backup_last_index) {
        end_backup(backup->failed == 0);
        return;
    }

    ++backup->counter;
    writer.write_prenibled(index_nibbles(backup->counter));
    host.show_progress(progress_text(backup->counter), false);
    backup->answer_due = QDeadlineTimer(timing.answer);
    operation_timer->start(timing.answer);
}

void operation_engine::end_backup(bool complete) {
    operation_timer->stop();
    export_timer->stop();
    backup_run* backup = backup_state();
    const bool settled = backup != nullptr && backup->store->settle(complete, backup->written);
    run = idle_run{};
    host.show_result(settled ? succeeded_notice : failed_notice);
    set_buttons_enabled(true);
    disconnect_action();
}

void operation_engine::backup_nacked() {
    if (backup_state() == nullptr) {
        return;
    }
    export_timer->stop();
    abandon_backup();
    run = idle_run{};
    host.show_result(failed_notice);
    set_buttons_enabled(true);
    disconnect_action();
    operation_timer->stop();
}

void operation_engine::export_failed() {
    const backup_run* backup = backup_state();
    if (backup == nullptr) {
        return;
    }
    const std::uint16_t waiting_for = backup->counter;
    host.show_message(QStringLiteral("TIMEOUT"), QStringLiteral("EXPORT FAILED"), QString());
    // The export may still have ended while the box was open, and the backup gone on. If it
    // has not, the answer watch ends the backup as failed should nothing more come.
    backup = backup_state();
    if (backup != nullptr && backup->counter == waiting_for && !export_timer->isActive() &&
        !operation_timer->isActive()) {
        operation_timer->start(timing.answer);
    }
}

// Settles the folder of a backup that ended without success (time-out or lost port).
void operation_engine::abandon_backup() {
    export_timer->stop();
    if (backup_run* backup = backup_state()) {
        backup->store->settle(false, backup->written);
    }
}

bool operation_engine::preset_to_text(proto::Preset& preset) {
    const backup_run* backup = backup_state();
    if (backup == nullptr || backup->store->staging().isEmpty()) {
        qCDebug(vortan_log, "Unable to open");
        return false;
    }
    // The file name is always one plain entry of the bank folder, whatever the name holds.
    const QString path = preset_file_path(backup->store->staging(), preset);
    if (!write_whole_file(path, QByteArray::fromStdString(print_preset(preset)))) {
        return false;
    }
    copy_to_draft(data_location, path, preset_bank_folder(preset.id()), QFileInfo(path).fileName());
    return true;
}

std::uint16_t operation_engine::preset_counter() const {
    const backup_run* backup = std::get_if<backup_run>(&run);
    return backup == nullptr ? 0 : backup->counter;
}

std::optional<QString> operation_engine::backup_folder() const {
    const backup_run* backup = std::get_if<backup_run>(&run);
    if (backup == nullptr || backup->store->staging().isEmpty()) {
        return std::nullopt;
    }
    return backup->store->staging();
}

// A preset begins: its export is watched from here to its end. The export of the last index
// keeps the answer watch instead.
void operation_engine::backup_export_started() {
    const backup_run* backup = backup_state();
    if (backup == nullptr) {
        return;
    }
    transfer_buffer.clear();
    if (backup->counter >= backup_last_index) {
        operation_timer->start(timing.answer);
        return;
    }
    operation_timer->stop();
    export_timer->start(timing.export_watch);
}

// Collected up to one byte past the limit, which marks the preset as too large.
void operation_engine::backup_export_data(std::span<std::byte> bytes) {
    if (backup_state() == nullptr) {
        return;
    }
    const int room = std::max(0, max_preset_bytes + 1 - transfer_buffer.size());
    const std::size_t taken = std::min(bytes.size(), static_cast<std::size_t>(room));
    transfer_buffer.append(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(taken));
}

// The preset is complete. The preset of the index asked for is written, then the next index
// is asked for. A payload that does not parse, lacks the preset's number or is past the size
// limit tells nothing of whose it is; it is taken as the answer and counts as a failed file.
// A preset of another index is passed over (see the top of the file).
void operation_engine::backup_export_ended() {
    backup_run* backup = backup_state();
    if (backup == nullptr) {
        return;
    }
    export_timer->stop();
    bool written = false;
    proto::Preset preset;
    if (transfer_buffer.size() > max_preset_bytes) {
        qCDebug(vortan_log, "Preset too large");
    } else if (!preset.ParsePartialFromArray(transfer_buffer.constData(), transfer_buffer.size()) ||
               !preset.has_id()) {
        // A damaged payload, or one without its number, is no preset: written as number 0
        // it could replace the file of the first preset.
        qCDebug(vortan_log, "Preset damaged");
    } else if (preset.id() != backup->counter) {
        if (preset.id() < backup->counter && backup->refused.test(preset.id())) {
            // A refusal was taken for this index, yet its preset exists: that refusal
            // answered another request, and which presets are missing is unknown.
            qCDebug(vortan_log, "Refusal taken for the wrong index");
            ++backup->failed;
            end_backup(false);
            return;
        }
        qCDebug(vortan_log, "Preset not asked for");
        // The request outstanding waits on, for what is left of its time.
        operation_timer->start(std::chrono::duration_cast<std::chrono::milliseconds>(std::max(
            backup->answer_due.remainingTimeAsDuration(), std::chrono::nanoseconds::zero())));
        return;
    } else {
        written = preset_to_text(preset);
    }
    if (written) {
        ++backup->written;
    } else {
        ++backup->failed;
    }
    request_next();
}

// The synthesizer has no preset for this index: nothing is written. A refusal names no
// index; it is taken as the answer to the request outstanding.
void operation_engine::backup_refused() {
    backup_run* backup = backup_state();
    if (backup == nullptr) {
        return;
    }
    if (backup->counter < backup->refused.size()) {
        backup->refused.set(backup->counter);
    }
    request_next();
}

void operation_engine::init_preset_handlers() {
    auto& parser = reader.sysex_parser;
    parser.set_preset_export_start_listener([this] { backup_export_started(); });
    parser.set_preset_export_end_listener([this] { backup_export_ended(); });
    parser.set_preset_export_data_listener(
        [this](std::span<std::byte> bytes) { backup_export_data(bytes); });
    parser.set_preset_export_request_nacked_listener([this] { backup_refused(); });
    // The restore's two import listeners come last.
    parser.set_preset_import_succeeded_listener([this] { import_answered(true); });
    parser.set_preset_import_failed_listener([this] { import_answered(false); });
}

} // namespace quillmar

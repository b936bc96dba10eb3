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
// One copy of the tool at a time may write into "datesaves" (backup_root): a backup holds
// the lock file ".backup.lock" there from its click until it ends. A second copy is told
// that the first one is busy and touches nothing. The lock of a copy that died is stale (its
// process is gone) and is taken over.
//
// The files go into a hidden staging folder inside "datesaves" (backup_dir); hidden folders
// are not listed by the restore or by the update's age check. Only when the backup ends does
// the staging folder get its name (settle_backup):
//   - a complete backup takes the dated name "yy_MM_dd_hh_mm" and replaces a folder of the
//     same name, which is moved aside first and removed only once the new one is in place;
//   - a failed backup that saved presets keeps them under the dated name marked
//     " INCOMPLETE" (backup_names.h), which never replaces anything and is never taken for
//     the latest backup;
//   - a backup that wrote no preset leaves nothing behind.
//
// Watching the answers: operation_timer (slot backup_nacked) runs from each request until
// its answer begins; export_timer (slot export_failed) from the start of a preset export to
// its end. Whatever goes unanswered ends the backup as failed.

#include "backup_names.h"
#include "preset_files.h"
#include "preset_related.h"
#include "preset_text.h"
#include "vortan_gui.h"
#include "vortan_log.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <span>

namespace {

const QString backups_folder = QStringLiteral("datesaves");
// Both start with "." so that listing the backups (QDir::Dirs | QDir::NoDotAndDotDot)
// never finds them.
const QString staging_folder = QStringLiteral(".backup_in_progress");
const QString replaced_folder = QStringLiteral(".backup_replaced");
// A file, so listing the backups never finds it either.
const QString lock_file = QStringLiteral(".backup.lock");
const QString draft_folder = QStringLiteral("draft");
const QString folder_name_format = QStringLiteral("yy_MM_dd_hh_mm");
const QString progress_text = QStringLiteral("WORK IN PROGRESS\n%1/256");
const QString succeeded_notice = QStringLiteral("BACKUP SUCCEEDED");
const QString failed_notice = QStringLiteral("ERROR\nBACKUP FAILED");
const QString folder_error_title = QStringLiteral("FOLDER ERROR");
const QString broken_link_text = QStringLiteral("BACKUP FOLDER IS A BROKEN LINK");
const QString not_a_folder_text = QStringLiteral("BACKUP FOLDER IS NOT A FOLDER");
const QString not_created_text = QStringLiteral("BACKUP FOLDER CANNOT BE CREATED");
const QString read_only_text = QStringLiteral("BACKUP FOLDER IS READ-ONLY");
const QString not_writable_text = QStringLiteral("BACKUP FOLDER CANNOT BE WRITTEN");
const QString busy_title = QStringLiteral("BACKUP IN PROGRESS");
const QString busy_text = QStringLiteral("ANOTHER COPY OF THIS TOOL IS MAKING A BACKUP");
const QString busy_informative = QStringLiteral("WAIT UNTIL IT HAS FINISHED, THEN TRY AGAIN");
// Hex text of the index bytes of the first request, index 0.
constexpr std::string_view first_request_index = "00000000";

// The index of the last request; its answer ends the backup.
constexpr std::uint16_t last_index = 256;
static_assert(last_index == bank_count * bank_size,
              "The backup asks for one index past the synthesizer's last preset.");
static_assert(decltype(vortan_gui::backup_progress::refused){}.size() == last_index + 1,
              "The record of refused indexes holds every index a backup asks for.");

// An export longer than the largest preset file is not a preset, and is not collected beyond
// that, so a device that never ends its message cannot exhaust the memory.
constexpr int max_preset_bytes = static_cast<int>(max_preset_size);

// A lock file names the process that holds it from the moment it is made. One that names
// nobody this long after it was last written was left half-made by a copy that died.
constexpr qint64 unreadable_lock_age_ms = 10000;
static_assert(unreadable_lock_age_ms >= 1000,
              "A lock being made is never taken for an abandoned one.");

// Marked names tried for a failed backup ("... INCOMPLETE", "... INCOMPLETE 2", ...) before
// its presets are given up.
constexpr int max_incomplete_attempts = 1000;
static_assert(max_incomplete_attempts >= 60,
              "A failed backup finds a marked name even after a minute of failed attempts.");

QChar sep() {
    return QDir::separator();
}

QString backup_root(const QString& data_location) {
    return data_location + sep() + backups_folder;
}

// Something lies at `path`: a file, a folder or a link, a dangling link included.
bool present(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Removes whatever lies at `path`: a folder with everything in it, or a file or a link. A
// link is removed itself; what it points at is left alone.
bool remove_entry(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        QDir(path).removeRecursively();
    } else if (present(path)) {
        QFile::remove(path);
    }
    return !present(path);
}

// Makes `path` an empty folder of its own (not a link); false when that cannot be done.
bool make_empty_folder(const QString& path) {
    if (!remove_entry(path) || !QDir().mkpath(path)) {
        return false;
    }
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() &&
           QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                              QDir::NoDotAndDotDot);
}

// Renames within the backup root; false when `to` is taken or the rename fails.
bool rename_entry(const QString& from, const QString& to) {
    return !present(to) && QDir().rename(from, to);
}

// Puts the staging folder of a complete backup in place under `dated`, replacing a folder of
// that name only once the new one can take its place. True when the backup now lies there.
bool place_complete(const QString& root, const QString& staging, const QString& dated) {
    if (!present(dated)) {
        return rename_entry(staging, dated);
    }
    const QString replaced = root + sep() + replaced_folder;
    if (!remove_entry(replaced) || !rename_entry(dated, replaced)) {
        return false;
    }
    if (!rename_entry(staging, dated)) {
        // The earlier backup goes back in place.
        rename_entry(replaced, dated);
        return false;
    }
    remove_entry(replaced);
    return true;
}

// Keeps the presets of a failed backup under the first free marked name; nothing is
// replaced. False when no marked name could be given.
bool keep_marked(const QString& staging, const QString& dated) {
    for (int attempt = 1; attempt <= max_incomplete_attempts; ++attempt) {
        if (rename_entry(staging, quillmar::incomplete_backup_name(dated, attempt))) {
            return true;
        }
    }
    return false;
}

// Puts the staging folder of an ended backup in place (see the top of the file). True when
// it lies there as a complete backup. A complete backup that cannot take its dated name is
// kept like a failed one.
bool settle_backup(const QString& root, const QString& staging, const QString& dated, bool complete,
                   int written) {
    if (written == 0) {
        remove_entry(staging);
        return false;
    }
    if (complete && place_complete(root, staging, dated)) {
        return true;
    }
    if (complete) {
        qCDebug(quillmar::vortan_log, "Unable to rename the backup folder");
    }
    if (!keep_marked(staging, dated)) {
        qCDebug(quillmar::vortan_log, "Unable to keep the incomplete backup folder");
    }
    return false;
}

// Takes the backup lock unless another living copy of the tool holds it. A lock whose process
// has ended is taken over (QLockFile checks the process), and so is one that names no process
// and has been left so for a while.
bool take_backup_lock(QLockFile& lock, const QString& path) {
    // Stale only when the process that holds it is gone, however long its backup runs.
    lock.setStaleLockTime(0);
    if (lock.tryLock(0)) {
        return true;
    }
    qint64 pid = 0;
    QString host;
    QString application;
    if (lock.error() != QLockFile::LockFailedError || lock.getLockInfo(&pid, &host, &application)) {
        return false;
    }
    const qint64 age = QFileInfo(path).lastModified().msecsTo(QDateTime::currentDateTime());
    if (qAbs(age) <= unreadable_lock_age_ms) {
        return false;
    }
    qCDebug(quillmar::vortan_log, "Removing an abandoned backup lock");
    lock.removeStaleLockFile();
    return lock.tryLock(0);
}

// What keeps a backup from writing into the backup root `root`, if anything can be seen: a
// link to nothing, something other than a folder, a folder that cannot be made or one that
// may not be written. A missing root is made.
std::optional<QString> backup_root_fault(const QString& root) {
    const QFileInfo info(root);
    if (info.isSymLink() && !info.exists()) {
        return broken_link_text;
    }
    if (info.exists() && !info.isDir()) {
        return not_a_folder_text;
    }
    if (!info.exists() && !QDir().mkpath(root)) {
        return not_created_text;
    }
    if (!QFileInfo(root).isWritable()) {
        return read_only_text;
    }
    return std::nullopt;
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
    const QString draft = data_location + sep() + draft_folder;
    const QString draft_bank = draft + sep() + bank;
    const QFileInfo draft_info(draft);
    const QFileInfo bank_info(draft_bank);
    if (!draft_info.isDir() || draft_info.isSymLink() || !bank_info.isDir() ||
        bank_info.isSymLink()) {
        return;
    }
    const QString copy = draft_bank + sep() + file_name;
    if (!present(copy)) {
        QFile::copy(written_path, copy);
    }
}

// The backup cannot write into its folder: the user is told what is wrong with it and where
// it is, any link left open is closed and the backup ends as failed.
void report_folder_error(vortan_gui& window, const QString& text, const QString& root) {
    window.disconnect_action();
    QPointer<QMessageBox> box =
        window.message_box_core(folder_error_title, text, QDir::toNativeSeparators(root));
    box->exec();
    delete box.data();
    window.status_panel.take_notification_action(QString(), failed_notice);
}

} // namespace

bool vortan_gui::on_button_backup_clicked() {
    // A firmware update connection is still open: the click only closes it.
    if (close_update_connection()) {
        return false;
    }
    // The backup root is checked and locked before the port is chosen: a backup that cannot
    // write, or that another copy of the tool is making, opens nothing and wipes nothing.
    const QString root = backup_root(data_location);
    if (const std::optional<QString> fault = backup_root_fault(root)) {
        report_folder_error(*this, *fault, root);
        return false;
    }
    const QString lock_path = root + sep() + lock_file;
    auto lock = std::make_unique<QLockFile>(lock_path);
    if (!take_backup_lock(*lock, lock_path)) {
        if (lock->error() == QLockFile::LockFailedError) {
            QPointer<QMessageBox> box = message_box_core(busy_title, busy_text, busy_informative);
            box->exec();
            delete box.data();
        } else {
            report_folder_error(*this, backup_root_fault(root).value_or(not_writable_text), root);
        }
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
    const QString staging = root + sep() + staging_folder;
    if (!make_empty_folder(staging)) {
        lock.reset();
        report_folder_error(*this, backup_root_fault(root).value_or(not_writable_text), root);
        return false;
    }
    backup_lock = std::move(lock);

    backup_dir = std::make_unique<QDir>(staging);
    backup = backup_progress{};
    backup.folder = root + sep() + clock().toString(folder_name_format);
    backup.answer_due = QDeadlineTimer(timing.answer);
    transfer_buffer.clear();
    preset_counter = 0;
    running = operation::backup;

    backup_visuals();
    writer.write_export_request(first_request_index);
    // The answer is read only once this slot has returned, so the folders are in place by
    // then.
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        QDir().mkpath(staging + sep() + preset_bank_folder(bank * bank_size));
    }
    connect(operation_timer, SIGNAL(timeout()), this, SLOT(backup_nacked()), Qt::UniqueConnection);
    operation_timer->setSingleShot(true);
    operation_timer->start(timing.answer);
    return true;
}

void vortan_gui::backup_visuals() {
    ui->button_backup->setEnabled(false);
    ui->button_firmware->setEnabled(false);
    ui->button_send->setEnabled(false);
    status_panel.take_important_action(progress_text.arg(preset_counter), true);
}

void vortan_gui::request_next() {
    qCDebug(quillmar::vortan_log) << preset_counter;
    disconnect(export_timer, SIGNAL(timeout()), this, SLOT(export_failed()));
    export_timer->stop();

    if (preset_counter >= last_index) {
        end_backup(backup.failed == 0);
        return;
    }

    ++preset_counter;
    writer.write_prenibled(index_nibbles(preset_counter));
    status_panel.take_important_action(progress_text.arg(preset_counter), false);
    backup.answer_due = QDeadlineTimer(timing.answer);
    operation_timer->start(timing.answer);
}

void vortan_gui::end_backup(bool complete) {
    disconnect(operation_timer, SIGNAL(timeout()), this, SLOT(backup_nacked()));
    operation_timer->stop();
    disconnect(export_timer, SIGNAL(timeout()), this, SLOT(export_failed()));
    export_timer->stop();
    const bool settled =
        backup_dir && settle_backup(backup_root(data_location), backup_dir->absolutePath(),
                                    backup.folder, complete, backup.written);
    backup_dir.reset();
    backup_lock.reset();
    running = operation::none;
    preset_counter = 0;
    status_panel.finish(info_box::state::active);
    status_panel.take_notification_action(QString(), settled ? succeeded_notice : failed_notice);
    ui->button_firmware->setEnabled(true);
    ui->button_send->setEnabled(true);
    ui->button_backup->setEnabled(true);
    disconnect_action();
}

void vortan_gui::export_failed() {
    if (running != operation::backup) {
        return;
    }
    const std::uint16_t waiting_for = preset_counter;
    QPointer<QMessageBox> box =
        message_box_core(QStringLiteral("TIMEOUT"), QStringLiteral("EXPORT FAILED"), QString());
    box->exec();
    delete box.data();
    // The export may still have ended while the box was open, and the backup gone on. If it
    // has not, the answer watch ends the backup as failed should nothing more come.
    if (running == operation::backup && preset_counter == waiting_for &&
        !export_timer->isActive() && !operation_timer->isActive()) {
        operation_timer->start(timing.answer);
    }
}

void vortan_gui::abandon_backup() {
    disconnect(export_timer, SIGNAL(timeout()), this, SLOT(export_failed()));
    export_timer->stop();
    if (backup_dir) {
        settle_backup(backup_root(data_location), backup_dir->absolutePath(), backup.folder, false,
                      backup.written);
    }
    backup_dir.reset();
    backup_lock.reset();
}

bool vortan_gui::preset_to_text(proto::Preset& preset) {
    if (!backup_dir) {
        qCDebug(quillmar::vortan_log, "Unable to open");
        return false;
    }
    // The file name is always one plain entry of the bank folder, whatever the name holds.
    const QString path = preset_file_path(backup_dir->absolutePath(), preset);
    if (!write_whole_file(path, QByteArray::fromStdString(print_preset(preset)))) {
        return false;
    }
    copy_to_draft(data_location, path, preset_bank_folder(preset.id()), QFileInfo(path).fileName());
    return true;
}

void vortan_gui::init_preset_handlers() {
    auto& parser = reader.sysex_parser;

    // A preset begins: its export is watched from here to its end. The export of the last
    // index keeps the answer watch instead.
    parser.set_preset_export_start_listener([this] {
        if (running != operation::backup) {
            return;
        }
        transfer_buffer.clear();
        if (preset_counter >= last_index) {
            operation_timer->start(timing.answer);
            return;
        }
        operation_timer->stop();
        connect(export_timer, SIGNAL(timeout()), this, SLOT(export_failed()), Qt::UniqueConnection);
        export_timer->setSingleShot(true);
        export_timer->start(timing.export_watch);
    });

    // The preset is complete. The preset of the index asked for is written, then the next
    // index is asked for. A payload that does not parse, lacks the preset's number or is past
    // the size limit tells nothing of whose it is; it is taken as the answer and counts as a
    // failed file. A preset of another index is passed over (see the top of the file).
    parser.set_preset_export_end_listener([this] {
        if (running != operation::backup) {
            return;
        }
        disconnect(export_timer, SIGNAL(timeout()), this, SLOT(export_failed()));
        export_timer->stop();
        bool written = false;
        proto::Preset preset;
        if (transfer_buffer.size() > max_preset_bytes) {
            qCDebug(quillmar::vortan_log, "Preset too large");
        } else if (!preset.ParsePartialFromArray(transfer_buffer.constData(),
                                                 transfer_buffer.size()) ||
                   !preset.has_id()) {
            // A damaged payload, or one without its number, is no preset: written as
            // number 0 it could replace the file of the first preset.
            qCDebug(quillmar::vortan_log, "Preset damaged");
        } else if (preset.id() != preset_counter) {
            if (preset.id() < preset_counter && backup.refused.test(preset.id())) {
                // A refusal was taken for this index, yet its preset exists: that refusal
                // answered another request, and which presets are missing is unknown.
                qCDebug(quillmar::vortan_log, "Refusal taken for the wrong index");
                ++backup.failed;
                end_backup(false);
                return;
            }
            qCDebug(quillmar::vortan_log, "Preset not asked for");
            // The request outstanding waits on, for what is left of its time.
            operation_timer->start(std::chrono::duration_cast<std::chrono::milliseconds>(std::max(
                backup.answer_due.remainingTimeAsDuration(), std::chrono::nanoseconds::zero())));
            return;
        } else {
            written = preset_to_text(preset);
        }
        if (written) {
            ++backup.written;
        } else {
            ++backup.failed;
        }
        request_next();
    });

    // Collected up to one byte past the limit, which marks the preset as too large.
    parser.set_preset_export_data_listener([this](std::span<std::byte> bytes) {
        if (running != operation::backup) {
            return;
        }
        const int room = std::max(0, max_preset_bytes + 1 - transfer_buffer.size());
        const std::size_t taken = std::min(bytes.size(), static_cast<std::size_t>(room));
        transfer_buffer.append(reinterpret_cast<const char*>(bytes.data()),
                               static_cast<int>(taken));
    });

    // The synthesizer has no preset for this index: nothing is written. A refusal names no
    // index; it is taken as the answer to the request outstanding.
    parser.set_preset_export_request_nacked_listener([this] {
        if (running != operation::backup) {
            return;
        }
        if (preset_counter < backup.refused.size()) {
            backup.refused.set(preset_counter);
        }
        request_next();
    });

    init_restore_handlers();
}

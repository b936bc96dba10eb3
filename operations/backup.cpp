// Backup: every preset of the synthesizer into a new dated backup folder.
//
// The presets are asked for by index, 0 to 256, one request at a time: the answer to one
// request (the preset, or a refusal) sends the next. Each preset received becomes one text
// file in the bank folder its `id` selects.
//
// The files go into a hidden staging folder inside "datesaves" (backup_dir); hidden folders
// are not listed by the restore or by the update's age check. Only when the backup ends does
// the staging folder take the dated name "yy_MM_dd_hh_mm":
//   - a complete backup replaces a folder of the same name, which is moved aside first and
//     removed only once the new one is in place;
//   - a partial backup (some presets written, then a failure) takes the dated name only when
//     it is free, so it never replaces an earlier backup of the same minute;
//   - a backup that wrote no preset leaves nothing behind.
//
// Watching the answers: operation_timer (slot backup_nacked) runs from each request until
// its answer begins; export_timer (slot export_failed) from the start of a preset export to
// its end. Whatever goes unanswered ends the backup as failed.

#include "preset_files.h"
#include "preset_related.h"
#include "preset_text.h"
#include "vortan_gui.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <algorithm>
#include <cstddef>
#include <span>

namespace {

const QString backups_folder = QStringLiteral("datesaves");
// Both start with "." so that listing the backups (QDir::Dirs | QDir::NoDotAndDotDot)
// never finds them.
const QString staging_folder = QStringLiteral(".backup_in_progress");
const QString replaced_folder = QStringLiteral(".backup_replaced");
const QString draft_folder = QStringLiteral("draft");
const QString folder_name_format = QStringLiteral("yy_MM_dd_hh_mm");
const QString progress_text = QStringLiteral("WORK IN PROGRESS\n%1/256");
const QString succeeded_notice = QStringLiteral("BACKUP SUCCEEDED");
const QString failed_notice = QStringLiteral("ERROR\nBACKUP FAILED");
// Hex text of the index bytes of the first request, index 0.
constexpr std::string_view first_request_index = "00000000";

// The index of the last request; its answer ends the backup.
constexpr std::uint16_t last_index = 256;
static_assert(last_index == bank_count * bank_size,
              "The backup asks for one index past the synthesizer's last preset.");

// A preset is a few kilobytes at most. A longer export is not one, and is not collected
// beyond this, so a device that never ends its message cannot exhaust the memory.
constexpr int max_preset_bytes = 1024 * 1024;
static_assert(max_preset_bytes >= 64 * 1024,
              "The preset size limit leaves ample room for every preset the schema can hold.");

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

// Puts the staging folder of an ended backup in place under its dated name (see the top of
// the file). True when the backup now lies there.
bool settle_backup(const QString& root, const QString& staging, const QString& dated, bool complete,
                   int written) {
    if (written == 0 || (!complete && present(dated))) {
        remove_entry(staging);
        return false;
    }
    if (!present(dated)) {
        if (rename_entry(staging, dated)) {
            return true;
        }
        qDebug("Unable to rename the backup folder");
        return false;
    }
    const QString replaced = root + sep() + replaced_folder;
    if (!remove_entry(replaced) || !rename_entry(dated, replaced)) {
        qDebug("Unable to replace the backup folder");
        remove_entry(staging);
        return false;
    }
    if (!rename_entry(staging, dated)) {
        qDebug("Unable to rename the backup folder");
        // The earlier backup goes back in place.
        rename_entry(replaced, dated);
        return false;
    }
    remove_entry(replaced);
    return true;
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

} // namespace

bool vortan_gui::on_button_backup_clicked() {
    // A firmware update connection is still open: the click only closes it.
    if (close_update_connection()) {
        return false;
    }
    const std::optional<QString> location = choose_port();
    if (!location) {
        return false;
    }
    open_port(*location);
    writer.set_port(port);
    reader.set_port(port);

    const QString root = backup_root(data_location);
    const QString staging = root + sep() + staging_folder;
    if (!make_empty_folder(staging)) {
        QPointer<QMessageBox> box = message_box_core(
            QStringLiteral("FOLDER ERROR"), QStringLiteral("DIRECTORY SHOULD BE EMPTY"), QString());
        box->exec();
        delete box.data();
        return false;
    }
    backup_dir = std::make_unique<QDir>(staging);
    backup = backup_progress{root + sep() + clock().toString(folder_name_format), 0, 0};
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
    qDebug() << preset_counter;
    disconnect(export_timer, SIGNAL(timeout()), this, SLOT(export_failed()));
    export_timer->stop();

    if (preset_counter >= last_index) {
        disconnect(operation_timer, SIGNAL(timeout()), this, SLOT(backup_nacked()));
        operation_timer->stop();
        const bool complete = backup.failed == 0;
        const bool settled =
            backup_dir && settle_backup(backup_root(data_location), backup_dir->absolutePath(),
                                        backup.folder, complete, backup.written);
        backup_dir.reset();
        running = operation::none;
        preset_counter = 0;
        status_panel.finish(info_box::state::active);
        status_panel.take_notification_action(QString(), complete && settled ? succeeded_notice
                                                                             : failed_notice);
        ui->button_firmware->setEnabled(true);
        ui->button_send->setEnabled(true);
        ui->button_backup->setEnabled(true);
        disconnect_action();
        return;
    }

    ++preset_counter;
    writer.write_prenibled(index_nibbles(preset_counter));
    status_panel.take_important_action(progress_text.arg(preset_counter), false);
    operation_timer->start(timing.answer);
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
}

bool vortan_gui::preset_to_text(proto::Preset& preset) {
    if (!backup_dir) {
        qDebug("Unable to open");
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

    // The preset is complete: written, then the next index is asked for. A payload that does
    // not parse, lacks the preset's number or is past the size limit counts as a failed file.
    parser.set_preset_export_end_listener([this] {
        if (running != operation::backup) {
            return;
        }
        disconnect(export_timer, SIGNAL(timeout()), this, SLOT(export_failed()));
        export_timer->stop();
        bool written = false;
        proto::Preset preset;
        if (transfer_buffer.size() > max_preset_bytes) {
            qDebug("Preset too large");
        } else if (!preset.ParsePartialFromArray(transfer_buffer.constData(),
                                                 transfer_buffer.size()) ||
                   !preset.has_id()) {
            // A damaged payload, or one without its number, is no preset: written as
            // number 0 it could replace the file of the first preset.
            qDebug("Preset damaged");
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

    // The synthesizer has no preset for this index: nothing is written.
    parser.set_preset_export_request_nacked_listener([this] {
        if (running != operation::backup) {
            return;
        }
        request_next();
    });

    init_restore_handlers();
}

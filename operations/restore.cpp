// Restore: the latest backup back into the synthesizer.
//
// The latest backup folder is loaded through the backup folder model and flattened, bank A
// to D, into the restore list. Presets whose files were not read completely (or are no
// regular files, or are too large) stay behind, as do presets whose id an earlier one
// carries already, so no slot is sent twice; the confirmation tells how many, and which
// files clash. After the user's OK the presets go out one at a time, each as one
// preset_import message, the next only once the synthesizer has answered the last.
// Every import is watched by the answer time-out; the restore counts as succeeded only when
// the synthesizer took every preset.

#include "backup_names.h"
#include "preset_related.h"
#include "presets_dir.h"
#include "vortan_gui.h"
#include "vortan_log.h"

#include <QDebug>
#include <QPushButton>

#include <algorithm>
#include <iterator>

namespace {

// A restore sends at most one preset per slot of the synthesizer.
constexpr std::size_t restore_capacity = std::size_t{bank_count} * bank_size;
static_assert(restore_capacity == 256, "A restore sends at most the synthesizer's 256 presets.");

const QString backups_folder = QStringLiteral("datesaves");
const QString no_backup_notice = QStringLiteral("ERROR\nNO BACKUP FOUND");
const QString succeeded_notice = QStringLiteral("RESTORE SUCCEEDED");
const QString terminated_notice = QStringLiteral("ERROR\nRESTORE TERMINATED");

QString progress_text(const proto::Preset& preset) {
    return QStringLiteral("WORK IN PROGRESS\n") + QString::number(preset.id()) +
           QStringLiteral("/256");
}

// Clashes listed one by one in the confirmation; more are summed up in one line.
constexpr std::size_t max_listed_clashes = 8;
static_assert(max_listed_clashes >= 1 && max_listed_clashes <= 16,
              "The confirmation lists a few clashes, few enough to fit on the screen.");

// The confirmation's informative text, led by what is left behind, if anything: the number
// of damaged presets, then the presets whose id clashes with an earlier one's, naming the
// files of each clash (the one sent first).
QString with_left_out(const QString& informative, const restore_selection& selection) {
    QStringList lines;
    if (selection.damaged == 1) {
        lines << QStringLiteral("1 DAMAGED PRESET WILL BE LEFT OUT");
    } else if (selection.damaged > 1) {
        lines << QString::number(selection.damaged) +
                     QStringLiteral(" DAMAGED PRESETS WILL BE LEFT OUT");
    }
    const std::size_t clashing = selection.clashing();
    if (clashing == 1) {
        lines << QStringLiteral("1 PRESET WITH A CLASHING ID WILL BE LEFT OUT");
    } else if (clashing > 1) {
        lines << QString::number(clashing) +
                     QStringLiteral(" PRESETS WITH CLASHING IDS WILL BE LEFT OUT");
    }
    const std::size_t listed = std::min(selection.clashes.size(), max_listed_clashes);
    for (std::size_t i = 0; i < listed; ++i) {
        const restore_selection::clash& clash = selection.clashes[i];
        lines << QStringLiteral("ID ") + QString::number(clash.id) + QStringLiteral(": ") +
                     clash.sent + QStringLiteral(" IS SENT, NOT ") +
                     clash.left_out.join(QStringLiteral(", "));
    }
    if (selection.clashes.size() > listed) {
        lines << QStringLiteral("AND ") + QString::number(selection.clashes.size() - listed) +
                     QStringLiteral(" MORE CLASHING IDS");
    }
    if (!informative.isEmpty()) {
        lines << informative;
    }
    return lines.join(QStringLiteral("\n"));
}

void send_current(vortan_gui& window) {
    window.transfer_buffer = byte_array_to_sys(preset_to_byteArray(*window.restore_cursor));
    window.writer.write_import(window.transfer_buffer);
    // Out now rather than on the next turn of the event loop: the restore waits for each
    // answer before it sends again, so the turn would be lost for every preset.
    if (window.port->isOpen()) {
        window.port->flush();
    }
    window.operation_timer->start(window.timing.answer);
}

// One import has been answered: the next preset goes out, or the restore ends. Answers while
// no restore runs, or beyond its last preset, are ignored.
void import_answered(vortan_gui& window, bool imported) {
    if (window.running != vortan_gui::operation::restore ||
        window.restore_cursor == window.restore_list.end()) {
        return;
    }
    ++window.restore_cursor;
    if (!imported) {
        ++window.restore_refused;
    }
    qCDebug(quillmar::vortan_log, imported ? "NEXT SUCC" : "NEXT FAILED");

    if (window.restore_cursor == window.restore_list.end()) {
        QObject::disconnect(window.operation_timer, SIGNAL(timeout()), &window,
                            SLOT(send_nacked()));
        window.operation_timer->stop();
        window.running = vortan_gui::operation::none;
        window.status_panel.finish(info_box::state::active);
        window.status_panel.take_notification_action(
            QString(), window.restore_refused == 0 ? succeeded_notice : terminated_notice);
        window.ui->button_firmware->setEnabled(true);
        window.ui->button_send->setEnabled(true);
        window.ui->button_backup->setEnabled(true);
        // The port stays open.
        return;
    }
    if (imported) {
        window.status_panel.take_important_action(progress_text(*window.restore_cursor), true);
    }
    send_current(window);
}

} // namespace

std::optional<QString> vortan_gui::latest_backup_name() const {
    QStringList names = QDir(data_location + QDir::separator() + backups_folder)
                            .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    // A failed backup's folder, marked in its name, is never taken for a backup.
    names.erase(std::remove_if(names.begin(), names.end(), quillmar::is_incomplete_backup_name),
                names.end());
    if (names.isEmpty()) {
        return std::nullopt;
    }
    names.sort(Qt::CaseSensitive);
    return names.last();
}

bool vortan_gui::on_button_send_clicked() {
    if (close_update_connection()) {
        return false;
    }
    const std::optional<QString> location = choose_port();
    if (!location) {
        return false;
    }
    restore_list.clear();

    const std::optional<QString> latest = latest_backup_name();
    if (!latest) {
        status_panel.take_notification_action(QString(), no_backup_notice);
        return false;
    }
    restore_selection selection;
    {
        const preset_dir backup(data_location + QDir::separator() + backups_folder +
                                QDir::separator() + *latest);
        selection = select_for_restore(backup);
    }
    restore_list = std::move(selection.presets);

    const std::size_t count = restore_list.size();
    if (count > restore_capacity) {
        if (!message_box_executor_2choices(
                QStringLiteral("TOO MANY PRESETS"),
                QStringLiteral("ONLY THE FIRST 256 PRESETS WILL BE SEND"),
                with_left_out(QString(), selection))) {
            return false;
        }
        restore_list.erase(restore_list.begin() + static_cast<std::ptrdiff_t>(restore_capacity),
                           restore_list.end());
    } else if (count == restore_capacity) {
        if (!message_box_executor_2choices(
                QStringLiteral("IMPORT TO VORTAN"),
                QStringLiteral("THIS ACTION WILL OVERWRITE THE PRESETS IN VORTAN"),
                with_left_out(QStringLiteral("ARE YOU SURE YOU WANT TO PROCEED?"), selection))) {
            return false;
        }
    } else if (!message_box_executor_2choices(
                   QStringLiteral("NOT ENOUGH PRESETS"),
                   QStringLiteral("ONLY ") + QString::number(count) +
                       QStringLiteral(" PRESETS FOUND ON YOUR LAST BACKUP"),
                   with_left_out(QStringLiteral("ARE YOU SURE?"), selection))) {
        return false;
    }
    if (restore_list.empty()) {
        return false;
    }

    if (!open_link(*location)) {
        return false;
    }
    ui->button_firmware->setEnabled(false);
    ui->button_send->setEnabled(false);
    ui->button_backup->setEnabled(false);

    running = operation::restore;
    restore_refused = 0;
    restore_cursor = restore_list.begin();
    status_panel.take_important_action(progress_text(*restore_cursor), true);
    // Watches every import, the first and each later one, until the restore ends.
    connect(operation_timer, SIGNAL(timeout()), this, SLOT(send_nacked()), Qt::UniqueConnection);
    operation_timer->setSingleShot(true);
    send_current(*this);
    qCDebug(quillmar::vortan_log) << transfer_buffer;
    return true;
}

void vortan_gui::init_restore_handlers() {
    auto& parser = reader.sysex_parser;
    parser.set_preset_import_succeeded_listener([this] { import_answered(*this, true); });
    parser.set_preset_import_failed_listener([this] { import_answered(*this, false); });
}

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

#include "operation_engine.h"
#include "preset_related.h"
#include "presets_dir.h"
#include "vortan_log.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <iterator>

namespace quillmar {

namespace {

// A restore sends at most one preset per slot of the synthesizer.
constexpr std::size_t restore_capacity = std::size_t{bank_count} * bank_size;
static_assert(restore_capacity == 256, "A restore sends at most the synthesizer's 256 presets.");

const QString no_backup_notice = QStringLiteral("ERROR\nNO BACKUP FOUND");
const QString succeeded_notice = QStringLiteral("RESTORE SUCCEEDED");
const QString terminated_notice = QStringLiteral("ERROR\nRESTORE TERMINATED");
const QString send_failed_notice = QStringLiteral("ERROR\nSEND FAILED");

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

} // namespace

void operation_engine::send_current_preset() {
    const restore_run* restore = restore_state();
    if (restore == nullptr || restore->cursor >= restore->presets.size()) {
        return;
    }
    transfer_buffer = byte_array_to_sys(preset_to_byteArray(restore->presets[restore->cursor]));
    writer.write_import(transfer_buffer);
    // Out now rather than on the next turn of the event loop: the restore waits for each
    // answer before it sends again, so the turn would be lost for every preset.
    if (port->isOpen()) {
        port->flush();
    }
    operation_timer->start(timing.answer);
}

// One import has been answered: the next preset goes out, or the restore ends. Answers while
// no restore runs are ignored.
void operation_engine::import_answered(bool imported) {
    restore_run* restore = restore_state();
    if (restore == nullptr || restore->cursor >= restore->presets.size()) {
        return;
    }
    ++restore->cursor;
    answered_imports = restore->cursor;
    if (!imported) {
        ++restore->refused;
    }
    if (restore->stop_requested && restore->cursor < restore->presets.size()) {
        operation_timer->stop();
        run = idle_run{};
        host.show_result(terminated_notice);
        set_buttons_enabled(true);
        return;
    }
    qCDebug(vortan_log, imported ? "NEXT SUCC" : "NEXT FAILED");

    if (restore->cursor == restore->presets.size()) {
        operation_timer->stop();
        const bool all_taken = restore->refused == 0;
        run = idle_run{};
        host.show_result(all_taken ? succeeded_notice : terminated_notice);
        set_buttons_enabled(true);
        // The port stays open.
        return;
    }
    if (imported) {
        host.show_progress(progress_text(restore->presets[restore->cursor].id()), true);
    }
    send_current_preset();
}

bool operation_engine::interrupt() {
    switch (running()) {
    case operation_kind::backup:
        backup_nacked();
        return true;
    case operation_kind::restore:
        restore_state()->stop_requested = true;
        return true;
    case operation_kind::update:
        return false;
    case operation_kind::none:
        return true;
    }
    return true;
}

void operation_engine::send_nacked() {
    if (restore_state() == nullptr) {
        return;
    }
    run = idle_run{};
    host.show_result(send_failed_notice);
    set_buttons_enabled(true);
    disconnect_action();
    operation_timer->stop();
}

std::optional<QString> operation_engine::latest_backup_name() const {
    return quillmar::latest_backup_name(backup_root(data_location));
}

const std::vector<proto::Preset>& operation_engine::restore_list() const {
    static const std::vector<proto::Preset> none;
    const restore_run* restore = std::get_if<restore_run>(&run);
    return restore == nullptr ? none : restore->presets;
}

std::vector<proto::Preset>::const_iterator operation_engine::restore_cursor() const {
    const restore_run* restore = std::get_if<restore_run>(&run);
    return restore == nullptr
               ? restore_list().end()
               : restore->presets.begin() + static_cast<std::ptrdiff_t>(restore->cursor);
}

bool operation_engine::start_restore() {
    return start_restore_from(std::nullopt);
}

bool operation_engine::start_restore_from(const std::optional<QString>& folder) {
    if (close_update_connection()) {
        return false;
    }
    const std::optional<QString> location = choose_port();
    if (!location) {
        return false;
    }
    std::optional<QString> source = folder;
    if (!source) {
        if (const std::optional<QString> latest = latest_backup_name()) {
            source = backup_root(data_location) + QDir::separator() + *latest;
        }
    }
    // A folder that is gone is no backup; the model would make it anew, empty.
    if (!source || !QFileInfo(*source).isDir()) {
        host.show_notice(no_backup_notice);
        return false;
    }
    restore_selection selection;
    {
        const preset_dir backup(*source);
        selection = select_for_restore(backup);
    }
    std::vector<proto::Preset> presets = std::move(selection.presets);

    const std::size_t count = presets.size();
    if (count > restore_capacity) {
        if (!host.ask(QStringLiteral("TOO MANY PRESETS"),
                      QStringLiteral("ONLY THE FIRST 256 PRESETS WILL BE SEND"),
                      with_left_out(QString(), selection))) {
            return false;
        }
        presets.erase(presets.begin() + static_cast<std::ptrdiff_t>(restore_capacity),
                      presets.end());
    } else if (count == restore_capacity) {
        if (!host.ask(
                QStringLiteral("IMPORT TO VORTAN"),
                QStringLiteral("THIS ACTION WILL OVERWRITE THE PRESETS IN VORTAN"),
                with_left_out(QStringLiteral("ARE YOU SURE YOU WANT TO PROCEED?"), selection))) {
            return false;
        }
    } else if (!host.ask(QStringLiteral("NOT ENOUGH PRESETS"),
                         QStringLiteral("ONLY ") + QString::number(count) +
                             QStringLiteral(" PRESETS FOUND ON YOUR LAST BACKUP"),
                         with_left_out(QStringLiteral("ARE YOU SURE?"), selection))) {
        return false;
    }
    if (presets.empty()) {
        return false;
    }
    if (!open_link(*location)) {
        return false;
    }
    set_buttons_enabled(false);

    restore_run restore;
    restore.presets = std::move(presets);
    answered_imports = 0;
    run = std::move(restore);
    host.show_progress(progress_text(restore_list().front().id()), true);
    // Watches every import, the first and each later one, until the restore ends.
    send_current_preset();
    qCDebug(vortan_log) << transfer_buffer;
    return true;
}

} // namespace quillmar

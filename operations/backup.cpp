// Backup: every preset of the synthesizer into a new dated backup folder.

#include "vortan_gui.h"

bool vortan_gui::on_button_backup_clicked() {
    return false;
}

void vortan_gui::backup_visuals() {}

void vortan_gui::request_next() {}

void vortan_gui::export_failed() {}

void vortan_gui::abandon_backup() {}

bool vortan_gui::preset_to_text(proto::Preset&) {
    return false;
}

void vortan_gui::init_preset_handlers() {
    init_restore_handlers();
}

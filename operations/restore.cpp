// Restore: the latest backup back into the synthesizer.

#include "vortan_gui.h"

bool vortan_gui::on_button_send_clicked() {
    return false;
}

void vortan_gui::init_restore_handlers() {}

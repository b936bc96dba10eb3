#include "vortan_gui.h"

// Entry points of the three operations. Until the operations are built in, a click starts
// nothing.

bool vortan_gui::on_button_send_clicked() {
    return false;
}

bool vortan_gui::on_button_backup_clicked() {
    return false;
}

bool vortan_gui::on_button_firmware_clicked() {
    return false;
}

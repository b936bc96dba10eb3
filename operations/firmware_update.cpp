// Firmware update: the backup-age check, the handshake and the image.

#include "vortan_gui.h"

bool vortan_gui::on_button_firmware_clicked() {
    return false;
}

void vortan_gui::send_firmware() {}

void vortan_gui::init_firmware_handlers() {}

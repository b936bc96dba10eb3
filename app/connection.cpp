// The port dialog and the catalog of the ports it lists.

#include "custom_dialog.h"
#include "port_order.h"
#include "vortan_gui.h"

#include <QComboBox>
#include <QSerialPortInfo>
#include <vector>

QStringList port_catalog::names() const {
    std::vector<quillmar::listed_port> listed;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        listed.push_back({info.portName(), info.hasVendorIdentifier()});
    }
    return quillmar::usb_ports_first(listed);
}

std::optional<QString> port_catalog::locate(const QString& name) const {
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (!info.portName().isEmpty() && info.portName() == name) {
            return info.systemLocation();
        }
    }
    return std::nullopt;
}

void vortan_gui::set_port_catalog(std::unique_ptr<port_catalog> catalog) {
    if (catalog) {
        ports = std::move(catalog);
    }
}

std::optional<QString> vortan_gui::checkForPort() {
    custom_dialog dialog(this);
    dialog.init(ports->names());
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    // Listed again: the chosen port may have gone while the dialog was open.
    return ports->locate(dialog.comboBox()->currentText());
}

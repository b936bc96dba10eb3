#pragma once

#include <QString>
#include <QStringList>

#include <vector>

namespace quillmar {

// One serial port as the system lists it, reduced to what orders the port dialog.
struct listed_port {
    QString name;
    // The port carries a USB vendor id: a USB serial device such as the synthesizer, not a
    // built-in serial line.
    bool has_usb_vendor = false;
};

// The names the port dialog offers: the USB ports first, then the others, each group in the
// order the system listed it. The dialog preselects the first name, so a plugged-in
// synthesizer is the one preselected among a machine's built-in serial lines.
QStringList usb_ports_first(const std::vector<listed_port>& ports);

} // namespace quillmar

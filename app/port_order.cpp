#include "port_order.h"

#include <algorithm>

namespace quillmar {

QStringList usb_ports_first(const std::vector<listed_port>& ports) {
    std::vector<listed_port> ordered = ports;
    std::stable_partition(ordered.begin(), ordered.end(),
                          [](const listed_port& port) { return port.has_usb_vendor; });
    QStringList names;
    names.reserve(static_cast<int>(ordered.size()));
    for (const listed_port& port : ordered) {
        names << port.name;
    }
    return names;
}

} // namespace quillmar

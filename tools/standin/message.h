#pragma once

#include "protocol.h"

#include <QByteArray>
#include <QMetaType>

namespace quillmar::standin {

// One SysEx message with the Vortan header, as the synthesizer received it.
struct message {
    // The command byte; a byte outside the protocol's table is kept as it came.
    protocol::command command{};
    // Everything between the command byte and F7.
    QByteArray body;
    // F0 to F7 as framed, without any real-time bytes that arrived in between.
    QByteArray raw;
};

} // namespace quillmar::standin

Q_DECLARE_METATYPE(quillmar::standin::message)

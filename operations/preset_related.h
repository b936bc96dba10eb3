#pragma once

#include <QByteArray>

namespace proto {
class Preset;
}

// The binary protobuf serialization of a preset, as the synthesizer stores it. A preset
// that lacks required fields is still serialized with what it has.
QByteArray preset_to_byteArray(const proto::Preset& preset);

// The nibble encoding of a run of bytes: each byte becomes two, low nibble first. The result
// is a message body without header or end byte.
QByteArray byte_array_to_sys(const QByteArray& bytes);

#pragma once

// Building and taking apart the bytes of the Vortan's SysEx messages, for the programs that
// play or feed the synthesizer (the stand-in, the firmware image generator, their tests).

#include "protocol.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace quillmar::standin {

// Nibble encoding: every payload byte becomes two body bytes, low nibble first.
QByteArray encode_nibbles(const QByteArray& payload);

// Nibble decoding: body bytes taken in pairs, only the low four bits of each used. A body of
// odd length has no complete decoding; the result is then empty and `complete` (when given)
// is set to false.
QByteArray decode_nibbles(const QByteArray& body, bool* complete = nullptr);

// One whole message: F0, the Vortan header, the command, the body as it stands, F7.
QByteArray make_message(protocol::command command, const QByteArray& body = {});

// CRC-8 over a run of body bytes as they travel.
std::uint8_t crc8(const char* bytes, std::size_t size) noexcept;
inline std::uint8_t crc8(const QByteArray& bytes) noexcept {
    return crc8(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The id field of an export request: the 16-bit index as four nibble bytes, least
// significant first.
QByteArray encode_preset_id(std::uint16_t index);

} // namespace quillmar::standin

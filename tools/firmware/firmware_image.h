#pragma once

// The firmware image that ships beside the tool, and the check the synthesizer makes on a
// firmware message it receives.

#include "protocol.h"

#include <QByteArray>

#include <cstddef>

namespace quillmar::standin {

// Firmware bytes carried by the image that ships beside the tool.
inline constexpr std::size_t firmware_payload_size = 1'965'568;
// Data nibble bytes of its body (two per firmware byte).
inline constexpr std::size_t firmware_data_size = 2 * firmware_payload_size;
// The whole message: header with command, the two CRC nibble bytes, the data, F7.
inline constexpr std::size_t firmware_image_size =
    protocol::header_size + protocol::crc_nibbles + firmware_data_size + 1;
static_assert(firmware_data_size == 3'931'136,
              "The firmware image carries 3,931,136 data nibble bytes.");
static_assert(firmware_image_size == 3'931'146,
              "The firmware image is one message of 3,931,146 bytes.");

// One complete firmware_update message carrying `payload`: the header, the CRC-8 of the data
// nibble bytes as two nibble bytes, the nibble-encoded payload and F7.
QByteArray make_firmware_message(const QByteArray& payload);

// The firmware bytes of the shipped image: deterministic pseudo-random content, the same on
// every run and every machine.
QByteArray make_firmware_payload();

// The shipped image: make_firmware_message(make_firmware_payload()).
QByteArray make_firmware_image();

// What the synthesizer finds in the body of a firmware_update message.
enum class firmware_verdict {
    intact,       // CRC present, data in nibble pairs, CRC matches
    no_crc,       // fewer than the two CRC bytes
    odd_data,     // the data do not come in nibble pairs
    not_nibbles,  // a data byte above 0x0F
    crc_mismatch, // the carried CRC differs from the one computed over the data
};

// Checks a firmware body (everything between the command byte and F7).
firmware_verdict check_firmware_body(const QByteArray& body) noexcept;

} // namespace quillmar::standin

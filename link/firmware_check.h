#pragma once

// The tool's own check of a firmware image before any byte of it goes to the synthesizer.
//
// The image file is one complete firmware_update message: F0, the Vortan header, the
// firmware_update command, a body of nibble bytes and F7. The body opens with the CRC-8 of
// the data as two nibble bytes (bits 0-3 first); the data are the firmware bytes, nibble
// encoded, so they come in pairs. The CRC covers the data nibble bytes exactly as they
// travel. A file that breaks any of this (cut short, lost its end byte, not a firmware at
// all) is refused as a whole: the synthesizer is never asked to flash it.

#include "protocol.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>

namespace quillmar::protocol {

// What the check finds in an image; everything but `intact` means the image is damaged.
enum class firmware_image_verdict {
    intact,
    too_short,     // not even a header, the two CRC nibbles, one firmware byte and F7
    wrong_header,  // does not start with F0 00 2B 17 00 04
    wrong_command, // another command than firmware_update
    no_end,        // does not end with F7
    not_nibbles,   // a body byte above 0x0F
    odd_data,      // the data nibbles do not come in pairs
    crc_mismatch,  // the carried CRC differs from the one over the data
};

// The fixed part of the smallest firmware message worth sending: a header, the CRC, the two
// nibbles of a single firmware byte and F7. A message without firmware bytes is no firmware.
inline constexpr std::size_t min_firmware_image_size = header_size + crc_nibbles + 2 + 1;
static_assert(min_firmware_image_size == 12,
              "The smallest firmware image carries one firmware byte in twelve bytes.");

// Checks one whole image, F0 to F7, in a single pass over its body.
constexpr firmware_image_verdict check_firmware_image(std::span<const std::byte> image) noexcept {
    if (image.size() < min_firmware_image_size) {
        return firmware_image_verdict::too_short;
    }
    const std::byte expected_header[] = {sysex_start,        manufacturer_id[0], manufacturer_id[1],
                                         manufacturer_id[2], device_id,          model_id};
    static_assert(std::size(expected_header) + 1 == header_size,
                  "The header is everything before the command byte.");
    for (std::size_t i = 0; i < std::size(expected_header); ++i) {
        if (image[i] != expected_header[i]) {
            return firmware_image_verdict::wrong_header;
        }
    }
    if (image[header_size - 1] != std::byte{static_cast<std::uint8_t>(command::firmware_update)}) {
        return firmware_image_verdict::wrong_command;
    }
    if (image.back() != sysex_end) {
        return firmware_image_verdict::no_end;
    }
    const std::span<const std::byte> body =
        image.subspan(header_size, image.size() - header_size - 1);
    constexpr std::byte nibble_bits{0x0F};
    for (const std::byte b : body) {
        if ((b & ~nibble_bits) != std::byte{0}) {
            return firmware_image_verdict::not_nibbles;
        }
    }
    const std::span<const std::byte> data = body.subspan(crc_nibbles);
    if (data.size() % 2 != 0) {
        return firmware_image_verdict::odd_data;
    }
    std::byte crc{0};
    for (std::size_t i = 0; i < data.size(); i += 2) {
        crc = crc8x_next_pair(crc, data[i], data[i + 1]);
    }
    return crc == join_nibbles(body[0], body[1]) ? firmware_image_verdict::intact
                                                 : firmware_image_verdict::crc_mismatch;
}

namespace firmware_check_examples {
// F0 00 2B 17 00 04 | 05 firmware_update | CRC 0x91 as 01 09 | 12 34 as 02 01 04 03 | F7
inline constexpr std::byte two_bytes[] = {
    std::byte{0xF0}, std::byte{0x00}, std::byte{0x2B}, std::byte{0x17}, std::byte{0x00},
    std::byte{0x04}, std::byte{0x05}, std::byte{0x01}, std::byte{0x09}, std::byte{0x02},
    std::byte{0x01}, std::byte{0x04}, std::byte{0x03}, std::byte{0xF7}};
} // namespace firmware_check_examples
static_assert(check_firmware_image(firmware_check_examples::two_bytes) ==
                  firmware_image_verdict::intact,
              "The firmware message carrying 12 34 passes the check.");

} // namespace quillmar::protocol

#pragma once

// The Vortan's SysEx protocol: every wire value in one place.
//
// A message is F0, the manufacturer id 00 2B 17, the device id 00, the model id 04, one
// command byte, a body of nibble bytes (each 0x00-0x0F) and F7. Binary bodies carry each
// payload byte as two body bytes, low nibble first. The firmware body starts with its
// CRC-8 (two nibble bytes) computed over the data nibble bytes exactly as they travel.

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillmar::protocol {

// MIDI status bytes the protocol uses.
inline constexpr std::byte sysex_start{0xF0};
inline constexpr std::byte sysex_end{0xF7};

// MIDI 1.0 byte classes and the status bytes the stream parser tells apart.
// Every status byte has its top bit set; data bytes are 0x00-0x7F.
inline constexpr std::byte status_bit{0x80};
// Real-time bytes are 0xF8-0xFF: all of these bits set.
inline constexpr std::byte realtime_mask{0xF8};
inline constexpr std::byte tune_request{0xF6};
// The high nibble of a channel voice status byte names the message; the low nibble is the
// channel.
inline constexpr std::byte note_off_nibble{0x8};
inline constexpr std::byte note_on_nibble{0x9};
inline constexpr std::byte polyphonic_key_pressure_nibble{0xA};
inline constexpr std::byte control_change_nibble{0xB};
inline constexpr std::byte program_change_nibble{0xC};
inline constexpr std::byte channel_pressure_nibble{0xD};
inline constexpr std::byte pitch_bend_change_nibble{0xE};
inline constexpr std::byte channel_mask{0x0F};

// The fixed header after F0.
inline constexpr std::array<std::byte, 3> manufacturer_id{std::byte{0x00}, std::byte{0x2B},
                                                          std::byte{0x17}};
inline constexpr std::byte device_id{0x00};
inline constexpr std::byte model_id{0x04};

// Length of F0, manufacturer id, device id, model id and the command byte.
inline constexpr std::size_t header_size = 7;
// A message without body: the header and F7.
inline constexpr std::size_t bodyless_message_size = header_size + 1;
static_assert(bodyless_message_size == 8, "A message without body is eight bytes long.");

// The command byte of every message of the protocol.
enum class command : std::uint8_t {
    connection_request = 0x00,
    connection_request_acked = 0x01,
    firmware_update_request = 0x02,
    firmware_update_request_acked = 0x03,
    firmware_update_request_nacked = 0x04,
    firmware_update = 0x05,
    firmware_update_succeeded = 0x06,
    firmware_update_failed = 0x07,
    preset_export_request = 0x08,
    preset_export_request_nacked = 0x09,
    preset_export = 0x0A,
    preset_import = 0x0B,
    preset_import_succeeded = 0x0C,
    preset_import_failed = 0x0D,
};
inline constexpr std::uint8_t last_command =
    static_cast<std::uint8_t>(command::preset_import_failed);
static_assert(last_command == 0x0D, "The protocol has the fourteen commands 0x00 to 0x0D.");

// The preset id field of an export request: four nibble bytes, least significant first.
inline constexpr std::size_t preset_id_nibbles = 4;
// The CRC field that opens a firmware body: two nibble bytes, bits 0-3 first.
inline constexpr std::size_t crc_nibbles = 2;

// Nibble encoding of one payload byte.
constexpr std::byte low_nibble(std::byte b) noexcept {
    return b & std::byte{0x0F};
}
constexpr std::byte high_nibble(std::byte b) noexcept {
    return (b >> 4) & std::byte{0x0F};
}
// Decoding: the first body byte of a pair gives bits 0-3, the second bits 4-7; the upper
// four bits of each body byte are left out.
constexpr std::byte join_nibbles(std::byte low, std::byte high) noexcept {
    return (low & std::byte{0x0F}) | ((high << 4) & std::byte{0xF0});
}
static_assert(join_nibbles(std::byte{0x17}, std::byte{0x2A}) == std::byte{0xA7},
              "Decoding ignores the upper four bits of each nibble byte.");

// CRC-8, polynomial 0x31 (x^8 + x^5 + x^4 + 1), initial value 0, not reflected, no final
// XOR. Entry i of the table is the register after shifting i left eight times.
inline constexpr std::uint8_t crc8_polynomial = 0x31;

constexpr std::array<std::uint8_t, 256> make_crc8x_table() noexcept {
    std::array<std::uint8_t, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80u) != 0 ? ((crc << 1) ^ crc8_polynomial) : (crc << 1);
        }
        table[i] = static_cast<std::uint8_t>(crc & 0xFFu);
    }
    return table;
}

inline constexpr std::array<std::uint8_t, 256> crc8x_table = make_crc8x_table();
static_assert(crc8x_table[1] == 0x31 && crc8x_table[2] == 0x62 && crc8x_table[0x80] == 0x7A,
              "The CRC-8 table is built from the polynomial 0x31.");

// One table step: the new CRC after taking byte b.
constexpr std::byte crc8x_next(std::byte crc, std::byte b) noexcept {
    return std::byte{crc8x_table[std::to_integer<std::uint8_t>(crc ^ b)]};
}

// Two steps at once. The CRC step is linear, so
//   crc8x_next(crc8x_next(crc, b0), b1) == crc8x_twice[crc] ^ crc8x_table[crc8x_table[b0] ^ b1]
// where only the first term depends on the running CRC: a pair of bytes costs one dependent
// table look-up instead of two.
constexpr std::array<std::uint8_t, 256> make_crc8x_twice() noexcept {
    std::array<std::uint8_t, 256> twice{};
    for (unsigned i = 0; i < twice.size(); ++i) {
        twice[i] = crc8x_table[crc8x_table[i]];
    }
    return twice;
}
inline constexpr std::array<std::uint8_t, 256> crc8x_twice = make_crc8x_twice();

constexpr std::byte crc8x_next_pair(std::byte crc, std::byte b0, std::byte b1) noexcept {
    const auto independent = crc8x_table[crc8x_table[std::to_integer<std::uint8_t>(b0)] ^
                                         std::to_integer<std::uint8_t>(b1)];
    return std::byte{
        static_cast<std::uint8_t>(crc8x_twice[std::to_integer<std::uint8_t>(crc)] ^ independent)};
}

constexpr bool pair_step_matches_two_steps() noexcept {
    for (unsigned crc = 0; crc < 256; crc += 17) {
        for (unsigned b0 = 0; b0 < 128; b0 += 5) {
            for (unsigned b1 = 0; b1 < 128; b1 += 3) {
                const std::byte c{static_cast<std::uint8_t>(crc)};
                const std::byte x{static_cast<std::uint8_t>(b0)};
                const std::byte y{static_cast<std::uint8_t>(b1)};
                if (crc8x_next_pair(c, x, y) != crc8x_next(crc8x_next(c, x), y)) {
                    return false;
                }
            }
        }
    }
    return true;
}
static_assert(pair_step_matches_two_steps(),
              "Taking two bytes at once gives the same CRC as taking them one by one.");

template <typename Range> constexpr std::byte crc8x(const Range& bytes) noexcept {
    std::byte crc{0};
    for (auto b : bytes) {
        crc = crc8x_next(crc, std::byte(b));
    }
    return crc;
}

static_assert(crc8x(std::array<char, 9>{'1', '2', '3', '4', '5', '6', '7', '8', '9'}) ==
                  std::byte{0xA2},
              "The CRC-8 check value over the digits 1 to 9 is 0xA2.");
static_assert(crc8x(std::array<std::uint8_t, 4>{0x02, 0x01, 0x04, 0x03}) == std::byte{0x91},
              "The CRC of the nibble bytes 02 01 04 03 is 0x91.");

} // namespace quillmar::protocol

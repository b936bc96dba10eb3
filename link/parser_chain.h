#pragma once

// Joins the MIDI stream parser to the device message parser, the way the tool reads the
// synthesizer: a SysEx message whose first three data bytes are the Vortan's manufacturer
// id is announced to the device parser, every SysEx data byte is handed on in order, and
// every SysEx end (whatever its manufacturer) finishes the device message. A foreign
// message therefore reaches the device parser only as an end, which it answers with its
// unexpected_end error.

#include "midi_parser.h"
#include "protocol.h"
#include "sysex_parser.h"

#include <cstddef>
#include <span>

namespace quillmar {

constexpr bool is_vortan_manufacturer(std::byte first, std::byte second, std::byte third) noexcept {
    return first == protocol::manufacturer_id[0] && second == protocol::manufacturer_id[1] &&
           third == protocol::manufacturer_id[2];
}

// The three listeners capture only the device parser, which must outlive the MIDI parser's
// use of them.
template <std::size_t MidiBuffer, std::size_t Block>
void chain_parsers(midi_parser_buffered<MidiBuffer>& midi, sysex_parser_buffered<Block>& device) {
    midi.set_sysex_start_listener([&device](std::byte first, std::byte second, std::byte third) {
        if (is_vortan_manufacturer(first, second, third)) {
            device.sysex_start();
        }
    });
    midi.set_sysex_data_listener(
        [&device](std::span<const std::byte> data) { device.parse(data); });
    midi.set_sysex_end_listener([&device] { device.sysex_end(); });
}

} // namespace quillmar

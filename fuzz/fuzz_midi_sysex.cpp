// Arbitrary bytes from the serial port through the MIDI stream parser chained to the device
// message parser, as the tool reads the synthesizer, with every listener set. The data
// listeners check that their spans stay inside the parsers' buffers.

#include "parser_chain.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

constexpr std::size_t midi_buffer = 1000;
constexpr std::size_t device_block = 1;

struct tally {
    std::size_t events = 0;
    std::size_t errors = 0;
    std::uint32_t sum = 0;
};

// A span handed to a device data listener is a whole block or the start of one.
void check_block(std::span<std::byte> block, tally* t) {
    if (block.empty() || block.size() > device_block) {
        std::abort();
    }
    for (const std::byte b : block) {
        t->sum += std::to_integer<std::uint32_t>(b);
    }
}

struct link {
    quillmar::midi_parser_buffered<midi_buffer> midi;
    quillmar::sysex_parser_buffered<device_block> device;
    tally t;

    link() {
        quillmar::chain_parsers(midi, device);
        tally* const p = &t;
        // The chain's data step, with a check that each SysEx chunk is a run of data bytes
        // inside the stream parser's buffer.
        midi.set_sysex_data_listener([d = &device](std::span<const std::byte> chunk) {
            if (chunk.empty() || chunk.size() > midi_buffer) {
                std::abort();
            }
            for (const std::byte b : chunk) {
                if (std::to_integer<unsigned>(b) > 0x7F) {
                    std::abort();
                }
                d->parse(b);
            }
        });
        const auto event = [p] { ++p->events; };
        const auto data = [p](std::span<std::byte> block) { check_block(block, p); };
        device.set_connection_request_listener(event);
        device.set_connection_request_acked_listener(event);
        device.set_firmware_update_request_listener(event);
        device.set_firmware_update_request_acked_listener(event);
        device.set_firmware_update_request_nacked_listener(event);
        device.set_firmware_update_start_listener(event);
        device.set_firmware_update_data_listener(data);
        device.set_firmware_update_end_listener(event);
        device.set_firmware_update_succeeded_listener(event);
        device.set_firmware_update_failed_listener(event);
        device.set_preset_export_request_listener([p](std::uint16_t id) { p->sum += id; });
        device.set_preset_export_request_nacked_listener(event);
        device.set_preset_export_start_listener(event);
        device.set_preset_export_data_listener(data);
        device.set_preset_export_end_listener(event);
        device.set_preset_import_start_listener(event);
        device.set_preset_import_data_listener(data);
        device.set_preset_import_end_listener(event);
        device.set_preset_import_succeeded_listener(event);
        device.set_preset_import_failed_listener(event);
        device.set_error_listener([p](auto e) {
            if (static_cast<unsigned>(e) > 5) {
                std::abort();
            }
            ++p->errors;
        });
        // The stream parser's own voice and system listeners, with their value ranges.
        midi.set_system_message_0_bytes_listener([p](auto) { ++p->events; });
        midi.set_voice_message_1_byte_listener([p](auto, unsigned char channel, std::byte d) {
            if (channel > 15 || std::to_integer<unsigned>(d) > 0x7F) {
                std::abort();
            }
            ++p->events;
        });
        midi.set_voice_message_2_bytes_listener(
            [p](auto, unsigned char channel, std::byte d1, std::byte d2) {
                if (channel > 15 || std::to_integer<unsigned>(d1 | d2) > 0x7F) {
                    std::abort();
                }
                ++p->events;
            });
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    link l;
    for (std::size_t i = 0; i < size; ++i) {
        l.midi.parse(static_cast<std::byte>(data[i]));
    }
    return 0;
}

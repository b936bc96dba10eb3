// Arbitrary bytes from the serial port through the MIDI stream parser chained to the device
// message parser, as the tool reads the synthesizer, with every listener set. The data
// listeners check that their spans stay inside the parsers' buffers, and a second chain that
// hands the device parser one byte at a time must see the very same events in the same order.

#include "parser_chain.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

constexpr std::size_t midi_buffer = 1000;
constexpr std::size_t device_block = 1;

// The order-sensitive trace of all listener calls.
struct trace {
    std::uint64_t hash = 0;
    std::size_t calls = 0;
    void note(std::uint64_t code) noexcept {
        hash = hash * 1000003u ^ code;
        ++calls;
    }
};

// A SysEx chunk is a run of data bytes inside the stream parser's buffer.
void check_chunk(std::span<const std::byte> chunk) {
    if (chunk.empty() || chunk.size() > midi_buffer) {
        std::abort();
    }
    for (const std::byte b : chunk) {
        if (std::to_integer<unsigned>(b) > 0x7F) {
            std::abort();
        }
    }
}

// A device data block is a whole block or the start of one.
void note_block(trace* t, std::uint64_t code, std::span<std::byte> block) {
    if (block.empty() || block.size() > device_block) {
        std::abort();
    }
    for (const std::byte b : block) {
        t->note(code << 8 | std::to_integer<std::uint64_t>(b));
    }
}

// How the device parser takes each SysEx chunk: as one run (the tool's way), or byte by byte.
enum class feed { run, byte_by_byte };

struct link {
    quillmar::midi_parser_buffered<midi_buffer> midi;
    quillmar::sysex_parser_buffered<device_block> device;
    trace t;

    explicit link(feed how) {
        quillmar::chain_parsers(midi, device);
        if (how == feed::run) {
            midi.set_sysex_data_listener([d = &device](std::span<const std::byte> chunk) {
                check_chunk(chunk);
                d->parse(chunk);
            });
        } else {
            midi.set_sysex_data_listener([d = &device](std::span<const std::byte> chunk) {
                check_chunk(chunk);
                for (const std::byte b : chunk) {
                    d->parse(b);
                }
            });
        }

        trace* const p = &t;
        const auto event = [p](std::uint64_t code) { return [p, code] { p->note(code); }; };
        const auto data = [p](std::uint64_t code) {
            return [p, code](std::span<std::byte> block) { note_block(p, code, block); };
        };
        device.set_connection_request_listener(event(1));
        device.set_connection_request_acked_listener(event(2));
        device.set_firmware_update_request_listener(event(3));
        device.set_firmware_update_request_acked_listener(event(4));
        device.set_firmware_update_request_nacked_listener(event(5));
        device.set_firmware_update_start_listener(event(6));
        device.set_firmware_update_data_listener(data(7));
        device.set_firmware_update_end_listener(event(8));
        device.set_firmware_update_succeeded_listener(event(9));
        device.set_firmware_update_failed_listener(event(10));
        device.set_preset_export_request_listener(
            [p](std::uint16_t id) { p->note(11u << 16 | id); });
        device.set_preset_export_request_nacked_listener(event(12));
        device.set_preset_export_start_listener(event(13));
        device.set_preset_export_data_listener(data(14));
        device.set_preset_export_end_listener(event(15));
        device.set_preset_import_start_listener(event(16));
        device.set_preset_import_data_listener(data(17));
        device.set_preset_import_end_listener(event(18));
        device.set_preset_import_succeeded_listener(event(19));
        device.set_preset_import_failed_listener(event(20));
        device.set_error_listener([p](auto e) {
            const auto value = static_cast<unsigned>(e);
            if (value > 5) {
                std::abort();
            }
            p->note(21u << 8 | value);
        });

        // The stream parser's own voice and system listeners, with their value ranges.
        midi.set_system_message_0_bytes_listener([p](auto) { p->note(30); });
        midi.set_voice_message_1_byte_listener([p](auto, unsigned char channel, std::byte d) {
            if (channel > 15 || std::to_integer<unsigned>(d) > 0x7F) {
                std::abort();
            }
            p->note(31);
        });
        midi.set_voice_message_2_bytes_listener(
            [p](auto, unsigned char channel, std::byte d1, std::byte d2) {
                if (channel > 15 || std::to_integer<unsigned>(d1 | d2) > 0x7F) {
                    std::abort();
                }
                p->note(32);
            });
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    link tool{feed::run};
    link reference{feed::byte_by_byte};
    for (std::size_t i = 0; i < size; ++i) {
        tool.midi.parse(static_cast<std::byte>(data[i]));
        reference.midi.parse(static_cast<std::byte>(data[i]));
    }
    if (tool.t.hash != reference.t.hash || tool.t.calls != reference.t.calls) {
        std::abort();
    }
    return 0;
}

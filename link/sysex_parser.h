#pragma once

// The Vortan's device message parser.
//
// Algorithm: a state machine over the bytes of one SysEx message that follow the
// manufacturer id. sysex_start() arms it, parse() takes each byte, sysex_end() finishes the
// message. Each state has one handler: the header states check the device and model id,
// the command state picks the body state, and the body states assemble the preset id or
// join nibble pairs (low nibble first) into payload bytes, handed on in blocks of N bytes
// as soon as a block is full; the firmware body also runs the CRC-8 over its nibble bytes
// as received. Messages without body, and the preset id request, keep their event in a
// pending end action that only the end of the message runs, so trailing bytes can still
// make them invalid. Where a transition both calls a listener and changes the state, the
// listener runs first. A malformed message calls the error listener once at the fault and
// drops the parser to waiting_for_start, where the rest of the message is ignored and its
// end raises unexpected_end.
//
// Nothing is allocated: the payload block is a member array and listeners keep their
// targets in place. A run of bytes may be given at once; firmware data then goes through a
// tight loop that takes each nibble pair in one CRC step and notices when a listener fed
// the parser itself, so the result is always that of the bytes given one by one.

#include "inplace_function.h"
#include "protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmar {

template <std::size_t N> class sysex_parser_buffered {
    static_assert(N >= 1, "The payload block of the device message parser holds at least one "
                          "byte.");

public:
    enum class state : std::uint8_t {
        waiting_for_device_id,
        waiting_for_model_id,
        waiting_for_firmware_command,
        waiting_for_crc_lsb,
        waiting_for_crc_msb,
        waiting_for_firmware_update_data,
        waiting_for_preset_id_b0,
        waiting_for_preset_id_b1,
        waiting_for_preset_id_b2,
        waiting_for_preset_id_b3,
        waiting_for_preset_import_data,
        waiting_for_preset_export_data,
        waiting_for_end,
        waiting_for_start,
    };

    enum class error : std::uint8_t {
        unexpected_end = 0,
        unexpected_data = 1,
        wrong_device_id = 2,
        wrong_model_id = 3,
        invalid_command = 4,
        crc_mismatch = 5,
    };

    using event_listener = listener<void()>;
    using data_listener = listener<void(std::span<std::byte>)>;
    using preset_id_listener = listener<void(std::uint16_t)>;
    using error_listener = listener<void(error)>;

    static constexpr std::size_t block_size = N;
    static constexpr const std::array<std::uint8_t, 256>& crc8x_table = protocol::crc8x_table;

    static constexpr std::byte crc8x_next(std::byte crc, std::byte b) noexcept {
        return protocol::crc8x_next(crc, b);
    }

    // A message with the protocol's manufacturer id begins.
    void sysex_start() noexcept {
        ++entries;
        now = state::waiting_for_device_id;
    }

    // One byte after the manufacturer id.
    void parse(std::byte b) {
        ++entries;
        switch (now) {
        case state::waiting_for_device_id:
            parse_if_waiting_for_device_id(b);
            break;
        case state::waiting_for_model_id:
            parse_if_waiting_for_model_id(b);
            break;
        case state::waiting_for_firmware_command:
            parse_if_waiting_for_firmware_command(b);
            break;
        case state::waiting_for_crc_lsb:
            parse_if_waiting_for_crc_lsb(b);
            break;
        case state::waiting_for_crc_msb:
            parse_if_waiting_for_crc_msb(b);
            break;
        case state::waiting_for_firmware_update_data:
            parse_if_waiting_for_firmware_update_data(b);
            break;
        case state::waiting_for_preset_id_b0:
            parse_if_waiting_for_preset_id_b0(b);
            break;
        case state::waiting_for_preset_id_b1:
            parse_if_waiting_for_preset_id_b1(b);
            break;
        case state::waiting_for_preset_id_b2:
            parse_if_waiting_for_preset_id_b2(b);
            break;
        case state::waiting_for_preset_id_b3:
            parse_if_waiting_for_preset_id_b3(b);
            break;
        case state::waiting_for_preset_import_data:
            parse_if_waiting_for_preset_import_data(b);
            break;
        case state::waiting_for_preset_export_data:
            parse_if_waiting_for_preset_export_data(b);
            break;
        case state::waiting_for_end:
            parse_if_waiting_for_end(b);
            break;
        case state::waiting_for_start:
            break;
        }
    }

    // A run of bytes, exactly as if each were given to parse(std::byte) in order. Firmware
    // data, the bulk of all traffic, is taken in a tight loop that keeps the CRC and the
    // nibble count in registers between listener calls.
    void parse(std::span<const std::byte> bytes) {
        while (!bytes.empty()) {
            if (now == state::waiting_for_firmware_update_data) {
                bytes = bytes.subspan(take_firmware_data(bytes));
            } else {
                parse(bytes.front());
                bytes = bytes.subspan(1);
            }
        }
    }

    // The message ends; the parser is left in waiting_for_start.
    void sysex_end() {
        ++entries;
        switch (now) {
        case state::waiting_for_firmware_update_data:
            if (computed_crc == received_crc) {
                flush(on_firmware_update_data);
                on_firmware_update_end();
            } else {
                on_error(error::crc_mismatch);
            }
            break;
        case state::waiting_for_preset_import_data:
            flush(on_preset_import_data);
            on_preset_import_end();
            break;
        case state::waiting_for_preset_export_data:
            flush(on_preset_export_data);
            on_preset_export_end();
            break;
        case state::waiting_for_end: {
            // Run a copy: the action may feed the parser a further message (a nested event
            // loop), which replaces the pending action while this one still runs.
            const event_listener action = pending_end_action;
            action();
            break;
        }
        case state::waiting_for_device_id:
        case state::waiting_for_model_id:
        case state::waiting_for_firmware_command:
        case state::waiting_for_crc_lsb:
        case state::waiting_for_crc_msb:
        case state::waiting_for_preset_id_b0:
        case state::waiting_for_preset_id_b1:
        case state::waiting_for_preset_id_b2:
        case state::waiting_for_preset_id_b3:
        case state::waiting_for_start:
            on_error(error::unexpected_end);
            break;
        }
        now = state::waiting_for_start;
    }

    // Position of the next body byte within the current block of 2N nibble bytes.
    std::size_t bytes_block_index() const noexcept { return nibble_count % (2 * N); }

    // Nibble assembly shared by the three bodies: even positions give bits 0-3 of a payload
    // byte, odd positions bits 4-7; a full block goes to the data listener at once.
    void parse_data_helper(std::byte b, const data_listener& on_data) {
        const std::size_t p = bytes_block_index();
        const std::size_t i = p / 2;
        if (p % 2 == 0) {
            payload[i] = protocol::low_nibble(b);
        } else {
            payload[i] = protocol::join_nibbles(payload[i], b);
        }
        ++nibble_count;
        if (bytes_block_index() == 0) {
            on_data(std::span<std::byte>{payload});
        }
    }

    state current_state() const noexcept { return now; }

    void set_connection_request_listener(event_listener l) noexcept {
        on_connection_request = std::move(l);
    }
    void set_connection_request_acked_listener(event_listener l) noexcept {
        on_connection_request_acked = std::move(l);
    }
    void set_firmware_update_request_listener(event_listener l) noexcept {
        on_firmware_update_request = std::move(l);
    }
    void set_firmware_update_request_acked_listener(event_listener l) noexcept {
        on_firmware_update_request_acked = std::move(l);
    }
    void set_firmware_update_request_nacked_listener(event_listener l) noexcept {
        on_firmware_update_request_nacked = std::move(l);
    }
    void set_firmware_update_start_listener(event_listener l) noexcept {
        on_firmware_update_start = std::move(l);
    }
    void set_firmware_update_data_listener(data_listener l) noexcept {
        on_firmware_update_data = std::move(l);
    }
    void set_firmware_update_end_listener(event_listener l) noexcept {
        on_firmware_update_end = std::move(l);
    }
    void set_firmware_update_succeeded_listener(event_listener l) noexcept {
        on_firmware_update_succeeded = std::move(l);
    }
    void set_firmware_update_failed_listener(event_listener l) noexcept {
        on_firmware_update_failed = std::move(l);
    }
    void set_preset_export_request_listener(preset_id_listener l) noexcept {
        on_preset_export_request = std::move(l);
    }
    void set_preset_export_request_nacked_listener(event_listener l) noexcept {
        on_preset_export_request_nacked = std::move(l);
    }
    void set_preset_export_start_listener(event_listener l) noexcept {
        on_preset_export_start = std::move(l);
    }
    void set_preset_export_data_listener(data_listener l) noexcept {
        on_preset_export_data = std::move(l);
    }
    void set_preset_export_end_listener(event_listener l) noexcept {
        on_preset_export_end = std::move(l);
    }
    void set_preset_import_start_listener(event_listener l) noexcept {
        on_preset_import_start = std::move(l);
    }
    void set_preset_import_data_listener(data_listener l) noexcept {
        on_preset_import_data = std::move(l);
    }
    void set_preset_import_end_listener(event_listener l) noexcept {
        on_preset_import_end = std::move(l);
    }
    void set_preset_import_succeeded_listener(event_listener l) noexcept {
        on_preset_import_succeeded = std::move(l);
    }
    void set_preset_import_failed_listener(event_listener l) noexcept {
        on_preset_import_failed = std::move(l);
    }
    void set_error_listener(error_listener l) noexcept { on_error = std::move(l); }

private:
    // Header.
    void parse_if_waiting_for_device_id(std::byte b) {
        if (b == protocol::device_id) {
            now = state::waiting_for_model_id;
        } else {
            fail(error::wrong_device_id);
        }
    }

    void parse_if_waiting_for_model_id(std::byte b) {
        if (b == protocol::model_id) {
            now = state::waiting_for_firmware_command;
        } else {
            fail(error::wrong_model_id);
        }
    }

    // Command: picks the body, or keeps the event of a command without body for the end.
    void parse_if_waiting_for_firmware_command(std::byte b) {
        using protocol::command;
        if (std::to_integer<std::uint8_t>(b) > protocol::last_command) {
            fail(error::invalid_command);
            return;
        }
        switch (static_cast<command>(b)) {
        case command::firmware_update:
            now = state::waiting_for_crc_lsb;
            break;
        case command::preset_export_request:
            now = state::waiting_for_preset_id_b0;
            break;
        case command::preset_export:
            nibble_count = 0;
            on_preset_export_start();
            now = state::waiting_for_preset_export_data;
            break;
        case command::preset_import:
            nibble_count = 0;
            on_preset_import_start();
            now = state::waiting_for_preset_import_data;
            break;
        case command::connection_request:
            wait_for_end(on_connection_request);
            break;
        case command::connection_request_acked:
            wait_for_end(on_connection_request_acked);
            break;
        case command::firmware_update_request:
            wait_for_end(on_firmware_update_request);
            break;
        case command::firmware_update_request_acked:
            wait_for_end(on_firmware_update_request_acked);
            break;
        case command::firmware_update_request_nacked:
            wait_for_end(on_firmware_update_request_nacked);
            break;
        case command::firmware_update_succeeded:
            wait_for_end(on_firmware_update_succeeded);
            break;
        case command::firmware_update_failed:
            wait_for_end(on_firmware_update_failed);
            break;
        case command::preset_export_request_nacked:
            wait_for_end(on_preset_export_request_nacked);
            break;
        case command::preset_import_succeeded:
            wait_for_end(on_preset_import_succeeded);
            break;
        case command::preset_import_failed:
            wait_for_end(on_preset_import_failed);
            break;
        }
    }

    // Firmware body: CRC (two nibble bytes, bits 0-3 first), then data.
    void parse_if_waiting_for_crc_lsb(std::byte b) {
        received_crc = std::to_integer<std::uint8_t>(protocol::low_nibble(b));
        now = state::waiting_for_crc_msb;
    }

    void parse_if_waiting_for_crc_msb(std::byte b) {
        received_crc =
            std::to_integer<std::uint8_t>(protocol::join_nibbles(std::byte{received_crc}, b));
        nibble_count = 0;
        computed_crc = 0;
        on_firmware_update_start();
        now = state::waiting_for_firmware_update_data;
    }

    void parse_if_waiting_for_firmware_update_data(std::byte b) {
        computed_crc = std::to_integer<std::uint8_t>(crc8x_next(std::byte{computed_crc}, b));
        parse_data_helper(b, on_firmware_update_data);
    }

    // Preset id of an export request: four nibble bytes, bits 0-3 first.
    void parse_if_waiting_for_preset_id_b0(std::byte b) {
        preset_id = id_nibble(b, 0);
        now = state::waiting_for_preset_id_b1;
    }

    void parse_if_waiting_for_preset_id_b1(std::byte b) {
        preset_id |= id_nibble(b, 4);
        now = state::waiting_for_preset_id_b2;
    }

    void parse_if_waiting_for_preset_id_b2(std::byte b) {
        preset_id |= id_nibble(b, 8);
        now = state::waiting_for_preset_id_b3;
    }

    void parse_if_waiting_for_preset_id_b3(std::byte b) {
        preset_id |= id_nibble(b, 12);
        pending_end_action = [this, id = preset_id] { on_preset_export_request(id); };
        now = state::waiting_for_end;
    }

    // Preset bodies.
    void parse_if_waiting_for_preset_import_data(std::byte b) {
        parse_data_helper(b, on_preset_import_data);
    }

    void parse_if_waiting_for_preset_export_data(std::byte b) {
        parse_data_helper(b, on_preset_export_data);
    }

    // Firmware data from the start of `bytes` on, as parse_if_waiting_for_firmware_update_data
    // would take them one by one. Nibble pairs that make one payload byte share one CRC step
    // (protocol::crc8x_next_pair). Returns how many bytes it took: all of them, or fewer when
    // a data listener fed the parser itself, whose state then rules from the next byte on.
    std::size_t take_firmware_data(std::span<const std::byte> bytes) {
        std::byte crc{computed_crc};
        std::size_t count = nibble_count;
        std::size_t i = 0;
        while (i < bytes.size()) {
            const std::size_t p = count % (2 * N);
            if (p % 2 == 0 && i + 1 < bytes.size()) {
                crc = protocol::crc8x_next_pair(crc, bytes[i], bytes[i + 1]);
                payload[p / 2] = protocol::join_nibbles(bytes[i], bytes[i + 1]);
                count += 2;
                i += 2;
            } else {
                crc = crc8x_next(crc, bytes[i]);
                payload[p / 2] = p % 2 == 0 ? protocol::low_nibble(bytes[i])
                                            : protocol::join_nibbles(payload[p / 2], bytes[i]);
                ++count;
                ++i;
            }
            if (count % (2 * N) == 0) {
                computed_crc = std::to_integer<std::uint8_t>(crc);
                nibble_count = count;
                const std::uint64_t before = entries;
                on_firmware_update_data(std::span<std::byte>{payload});
                if (entries != before) {
                    return i;
                }
            }
        }
        computed_crc = std::to_integer<std::uint8_t>(crc);
        nibble_count = count;
        return i;
    }

    // Only the end may follow.
    void parse_if_waiting_for_end(std::byte) { fail(error::unexpected_data); }

    void fail(error e) {
        on_error(e);
        now = state::waiting_for_start;
    }

    // The listener held now is the one the end of the message runs.
    void wait_for_end(const event_listener& event) {
        pending_end_action = event;
        now = state::waiting_for_end;
    }

    // Hands on the partial block left at the end of a body; a lone last nibble forms a byte
    // of its own.
    void flush(const data_listener& on_data) {
        const std::size_t p = bytes_block_index();
        if (p != 0) {
            on_data(std::span<std::byte>{payload.data(), (p + 1) / 2});
        }
    }

    static std::uint16_t id_nibble(std::byte b, unsigned shift) noexcept {
        return static_cast<std::uint16_t>(std::to_integer<unsigned>(protocol::low_nibble(b))
                                          << shift);
    }

    std::array<std::byte, N> payload{};
    std::size_t nibble_count = 0;
    state now = state::waiting_for_start;

    event_listener on_connection_request;
    event_listener on_connection_request_acked;
    event_listener on_firmware_update_request;
    event_listener on_firmware_update_request_acked;
    event_listener on_firmware_update_request_nacked;
    event_listener on_firmware_update_start;
    data_listener on_firmware_update_data;
    event_listener on_firmware_update_end;
    event_listener on_firmware_update_succeeded;
    event_listener on_firmware_update_failed;
    preset_id_listener on_preset_export_request;
    event_listener on_preset_export_request_nacked;
    event_listener on_preset_export_start;
    data_listener on_preset_export_data;
    event_listener on_preset_export_end;
    event_listener on_preset_import_start;
    data_listener on_preset_import_data;
    event_listener on_preset_import_end;
    event_listener on_preset_import_succeeded;
    event_listener on_preset_import_failed;
    error_listener on_error;
    event_listener pending_end_action;

    std::uint16_t preset_id = 0;
    std::uint8_t received_crc = 0;
    std::uint8_t computed_crc = 0;
    // Counts the calls into the parser, so a run can tell that a listener fed it.
    std::uint64_t entries = 0;
};

} // namespace quillmar

#pragma once

// The MIDI 1.0 byte-stream parser.
//
// Algorithm: a state machine fed one byte at a time. The state is a small variant; each
// byte is dispatched once on it to the handler of the current state, which computes the
// next state (calling listeners on the way) and only then is the next state stored. So a
// listener that feeds the same parser further bytes sees them handled, and the state the
// outer byte computed replaces whatever those bytes reached.
//
// Bytes fall into four classes:
//   voice     0x80-0xEF  start a channel voice message; data bytes follow, and a
//                        further run of data bytes repeats the message (running status);
//   system    0xF0-0xF7  0xF0 starts SysEx, 0xF6 is the tune request, the others are
//                        not supported and dropped;
//   real-time 0xF8-0xFF  ignored everywhere; they leave the state exactly as it was;
//   data      0x00-0x7F  belong to the message in progress, or are dropped.
// Any non-real-time status byte ends the message in progress. A SysEx message reports its
// first three data bytes as its start, the rest in chunks of up to N bytes, and its end.
//
// Nothing is allocated: the SysEx buffer is a member array and listeners keep their
// targets in place. Malformed input is dropped without report. SysEx data bytes that do not
// fill the buffer, the bulk of all traffic, call no listener and are stored at once, before
// the general dispatch.

#include "inplace_function.h"
#include "protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

namespace quillmar {

enum class voice_message_1_byte : std::uint8_t {
    program_change = 0,
    channel_pressure = 1,
};

enum class voice_message_2_bytes : std::uint8_t {
    note_off = 0,
    note_on = 1,
    polyphonic_key_pressure = 2,
    control_change = 3,
    pitch_bend_change = 4,
};

enum class system_message_0_bytes : std::uint8_t {
    tune_request = 0,
};

// Byte-class predicates.
namespace midi {

constexpr bool is_masked(std::byte b, std::byte mask) noexcept {
    return (b & mask) == mask;
}
constexpr bool is_status(std::byte b) noexcept {
    return is_masked(b, protocol::status_bit);
}
constexpr bool is_realtime(std::byte b) noexcept {
    return is_masked(b, protocol::realtime_mask);
}
constexpr bool is_sysex_start(std::byte b) noexcept {
    return b == protocol::sysex_start;
}
constexpr bool is_tune_request(std::byte b) noexcept {
    return b == protocol::tune_request;
}
constexpr std::byte get_nibble(std::byte b) noexcept {
    return b >> 4;
}
constexpr unsigned char get_channel(std::byte b) noexcept {
    return std::to_integer<unsigned char>(b & protocol::channel_mask);
}
constexpr bool is_note_off_event(std::byte b) noexcept {
    return get_nibble(b) == protocol::note_off_nibble;
}
constexpr bool is_note_on_event(std::byte b) noexcept {
    return get_nibble(b) == protocol::note_on_nibble;
}
constexpr bool is_polyphonic_key_pressure(std::byte b) noexcept {
    return get_nibble(b) == protocol::polyphonic_key_pressure_nibble;
}
constexpr bool is_control_change(std::byte b) noexcept {
    return get_nibble(b) == protocol::control_change_nibble;
}
constexpr bool is_program_change(std::byte b) noexcept {
    return get_nibble(b) == protocol::program_change_nibble;
}
constexpr bool is_channel_pressure(std::byte b) noexcept {
    return get_nibble(b) == protocol::channel_pressure_nibble;
}
constexpr bool is_pitch_bend_change(std::byte b) noexcept {
    return get_nibble(b) == protocol::pitch_bend_change_nibble;
}

static_assert(is_realtime(std::byte{0xF8}) && !is_realtime(std::byte{0xF7}),
              "Real-time bytes are exactly 0xF8 to 0xFF.");
static_assert(is_status(std::byte{0x80}) && !is_status(std::byte{0x7F}),
              "Status bytes are exactly 0x80 to 0xFF.");

} // namespace midi

// The parser's states. Each holds only what the message in progress needs.
namespace midi_state {

// No message in progress.
struct waiting_status {};
// A one-data-byte voice message needs its data byte.
struct voice_message_1_byte_waiting_1st {
    voice_message_1_byte kind;
    unsigned char channel;
};
// A two-data-byte voice message needs its first data byte.
struct voice_message_2_bytes_waiting_1st {
    voice_message_2_bytes kind;
    unsigned char channel;
};
// It needs its second data byte.
struct voice_message_2_bytes_waiting_2nd {
    voice_message_2_bytes kind;
    unsigned char channel;
    std::byte first;
};
// 0xF0 seen, no data byte yet.
struct sysex_message_waiting_1st {};
// One data byte seen.
struct sysex_message_waiting_2nd {
    std::byte first;
};
// Two data bytes seen.
struct sysex_message_waiting_3rd {
    std::byte first;
    std::byte second;
};
// The start has been reported; count bytes wait in the buffer.
struct sysex_message_waiting_data {
    std::size_t count;
};

} // namespace midi_state

template <std::size_t N> class midi_parser_buffered {
    static_assert(N >= 1, "The SysEx buffer of the MIDI stream parser holds at least one byte.");

public:
    using state =
        std::variant<midi_state::waiting_status, midi_state::voice_message_1_byte_waiting_1st,
                     midi_state::voice_message_2_bytes_waiting_1st,
                     midi_state::voice_message_2_bytes_waiting_2nd,
                     midi_state::sysex_message_waiting_1st, midi_state::sysex_message_waiting_2nd,
                     midi_state::sysex_message_waiting_3rd, midi_state::sysex_message_waiting_data>;
    static_assert(sizeof(state) <= 2 * sizeof(std::size_t),
                  "A parser state is a small value, no bigger than two machine words.");

    using system_message_0_bytes_listener = listener<void(system_message_0_bytes)>;
    using voice_message_1_byte_listener =
        listener<void(voice_message_1_byte, unsigned char, std::byte)>;
    using voice_message_2_bytes_listener =
        listener<void(voice_message_2_bytes, unsigned char, std::byte, std::byte)>;
    using sysex_start_listener = listener<void(std::byte, std::byte, std::byte)>;
    using sysex_data_listener = listener<void(std::span<const std::byte>)>;
    using sysex_end_listener = listener<void()>;

    static constexpr std::size_t buffer_size = N;

    // Consumes one byte.
    void parse(std::byte b) {
        // The bulk of the traffic: a data byte that does not fill the SysEx buffer calls no
        // listener, so it is stored at once.
        if constexpr (N > 1) {
            if (auto* data = std::get_if<midi_state::sysex_message_waiting_data>(&now);
                data != nullptr && !midi::is_status(b) && data->count + 1 < N) {
                buffer[data->count++] = b;
                return;
            }
        }
        state next = std::visit([this, b](auto current) { return this->handle(current, b); }, now);
        now = next;
    }

    void set_system_message_0_bytes_listener(system_message_0_bytes_listener l) noexcept {
        on_system_message = std::move(l);
    }
    void set_voice_message_1_byte_listener(voice_message_1_byte_listener l) noexcept {
        on_voice_message_1_byte = std::move(l);
    }
    void set_voice_message_2_bytes_listener(voice_message_2_bytes_listener l) noexcept {
        on_voice_message_2_bytes = std::move(l);
    }
    void set_sysex_start_listener(sysex_start_listener l) noexcept {
        on_sysex_start = std::move(l);
    }
    void set_sysex_data_listener(sysex_data_listener l) noexcept { on_sysex_data = std::move(l); }
    void set_sysex_end_listener(sysex_end_listener l) noexcept { on_sysex_end = std::move(l); }

    const state& current_state() const noexcept { return now; }

private:
    // Handlers take the state by value: a listener may feed the parser and so change the
    // stored state while the handler still runs.

    // No message in progress: a status byte may start one.
    state handle(midi_state::waiting_status, std::byte b) {
        using namespace midi;
        // System: tune request, SysEx start; the other system bytes are not supported.
        if (is_tune_request(b)) {
            on_system_message(system_message_0_bytes::tune_request);
            return midi_state::waiting_status{};
        }
        if (is_sysex_start(b)) {
            return midi_state::sysex_message_waiting_1st{};
        }
        // Voice with one data byte.
        if (is_program_change(b)) {
            return midi_state::voice_message_1_byte_waiting_1st{
                voice_message_1_byte::program_change, get_channel(b)};
        }
        if (is_channel_pressure(b)) {
            return midi_state::voice_message_1_byte_waiting_1st{
                voice_message_1_byte::channel_pressure, get_channel(b)};
        }
        // Voice with two data bytes.
        if (is_note_off_event(b)) {
            return two_bytes(voice_message_2_bytes::note_off, b);
        }
        if (is_note_on_event(b)) {
            return two_bytes(voice_message_2_bytes::note_on, b);
        }
        if (is_polyphonic_key_pressure(b)) {
            return two_bytes(voice_message_2_bytes::polyphonic_key_pressure, b);
        }
        if (is_control_change(b)) {
            return two_bytes(voice_message_2_bytes::control_change, b);
        }
        if (is_pitch_bend_change(b)) {
            return two_bytes(voice_message_2_bytes::pitch_bend_change, b);
        }
        // Data bytes, unsupported system bytes, a lone 0xF7 and real-time bytes.
        return midi_state::waiting_status{};
    }

    state handle(midi_state::voice_message_1_byte_waiting_1st s, std::byte b) {
        if (midi::is_realtime(b)) {
            return s;
        }
        if (midi::is_status(b)) {
            return handle(midi_state::waiting_status{}, b);
        }
        on_voice_message_1_byte(s.kind, s.channel, b);
        return s;
    }

    state handle(midi_state::voice_message_2_bytes_waiting_1st s, std::byte b) {
        if (midi::is_realtime(b)) {
            return s;
        }
        if (midi::is_status(b)) {
            return handle(midi_state::waiting_status{}, b);
        }
        return midi_state::voice_message_2_bytes_waiting_2nd{s.kind, s.channel, b};
    }

    state handle(midi_state::voice_message_2_bytes_waiting_2nd s, std::byte b) {
        if (midi::is_realtime(b)) {
            return s;
        }
        if (midi::is_status(b)) {
            return handle(midi_state::waiting_status{}, b);
        }
        on_voice_message_2_bytes(s.kind, s.channel, s.first, b);
        return midi_state::voice_message_2_bytes_waiting_1st{s.kind, s.channel};
    }

    state handle(midi_state::sysex_message_waiting_1st s, std::byte b) {
        if (midi::is_realtime(b)) {
            return s;
        }
        if (midi::is_status(b)) {
            return handle(midi_state::waiting_status{}, b);
        }
        return midi_state::sysex_message_waiting_2nd{b};
    }

    state handle(midi_state::sysex_message_waiting_2nd s, std::byte b) {
        if (midi::is_realtime(b)) {
            return s;
        }
        if (midi::is_status(b)) {
            return handle(midi_state::waiting_status{}, b);
        }
        return midi_state::sysex_message_waiting_3rd{s.first, b};
    }

    state handle(midi_state::sysex_message_waiting_3rd s, std::byte b) {
        if (midi::is_realtime(b)) {
            return s;
        }
        if (midi::is_status(b)) {
            return handle(midi_state::waiting_status{}, b);
        }
        on_sysex_start(s.first, s.second, b);
        return midi_state::sysex_message_waiting_data{0};
    }

    state handle(midi_state::sysex_message_waiting_data s, std::byte b) {
        if (midi::is_realtime(b)) {
            return s;
        }
        if (midi::is_status(b)) {
            // The byte is handled first (it may call the system message listener), then the
            // buffered data and the end are reported.
            state next = handle(midi_state::waiting_status{}, b);
            if (s.count > 0) {
                on_sysex_data(std::span<const std::byte>{buffer.data(), s.count});
            }
            on_sysex_end();
            return next;
        }
        buffer[s.count] = b;
        if (s.count + 1 < N) {
            return midi_state::sysex_message_waiting_data{s.count + 1};
        }
        on_sysex_data(std::span<const std::byte>{buffer});
        return midi_state::sysex_message_waiting_data{0};
    }

    static midi_state::voice_message_2_bytes_waiting_1st two_bytes(voice_message_2_bytes kind,
                                                                   std::byte b) noexcept {
        return {kind, midi::get_channel(b)};
    }

    std::array<std::byte, N> buffer{};
    state now{};
    system_message_0_bytes_listener on_system_message;
    voice_message_1_byte_listener on_voice_message_1_byte;
    voice_message_2_bytes_listener on_voice_message_2_bytes;
    sysex_start_listener on_sysex_start;
    sysex_data_listener on_sysex_data;
    sysex_end_listener on_sysex_end;
};

} // namespace quillmar

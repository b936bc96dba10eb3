#pragma once

// Records every listener call of a MIDI stream parser as text, tagged with the index of the
// byte during which it happened.

#include "hex.h"
#include "midi_parser.h"

#include <QByteArray>
#include <QStringList>

#include <cstddef>
#include <span>

namespace link_test {

inline const char* kind_name(quillmar::voice_message_1_byte k) {
    switch (k) {
    case quillmar::voice_message_1_byte::program_change:
        return "program_change";
    case quillmar::voice_message_1_byte::channel_pressure:
        return "channel_pressure";
    }
    return "?";
}

inline const char* kind_name(quillmar::voice_message_2_bytes k) {
    switch (k) {
    case quillmar::voice_message_2_bytes::note_off:
        return "note_off";
    case quillmar::voice_message_2_bytes::note_on:
        return "note_on";
    case quillmar::voice_message_2_bytes::polyphonic_key_pressure:
        return "polyphonic_key_pressure";
    case quillmar::voice_message_2_bytes::control_change:
        return "control_change";
    case quillmar::voice_message_2_bytes::pitch_bend_change:
        return "pitch_bend_change";
    }
    return "?";
}

template <std::size_t N> struct midi_recorder {
    quillmar::midi_parser_buffered<N> parser;
    QStringList events;
    int at = -1;

    midi_recorder() {
        parser.set_system_message_0_bytes_listener(
            [this](quillmar::system_message_0_bytes) { log(QStringLiteral("tune_request")); });
        parser.set_voice_message_1_byte_listener(
            [this](quillmar::voice_message_1_byte k, unsigned char channel, std::byte d) {
                log(QStringLiteral("%1 %2 %3").arg(kind_name(k)).arg(channel).arg(hex(d)));
            });
        parser.set_voice_message_2_bytes_listener([this](quillmar::voice_message_2_bytes k,
                                                         unsigned char channel, std::byte d1,
                                                         std::byte d2) {
            log(QStringLiteral("%1 %2 %3 %4").arg(kind_name(k)).arg(channel).arg(hex(d1), hex(d2)));
        });
        parser.set_sysex_start_listener([this](std::byte a, std::byte b, std::byte c) {
            log(QStringLiteral("start %1 %2 %3").arg(hex(a), hex(b), hex(c)));
        });
        parser.set_sysex_data_listener(
            [this](std::span<const std::byte> data) { log("data " + hex(data)); });
        parser.set_sysex_end_listener([this] { log(QStringLiteral("end")); });
    }
    midi_recorder(const midi_recorder&) = delete;
    midi_recorder& operator=(const midi_recorder&) = delete;

    void log(const QString& event) { events << QStringLiteral("%1: %2").arg(at).arg(event); }

    void feed(const QByteArray& input) {
        for (const char c : input) {
            ++at;
            parser.parse(static_cast<std::byte>(c));
        }
    }
};

} // namespace link_test

#pragma once

#include "message.h"

#include <cstddef>
#include <optional>
#include <variant>

namespace quillmar::standin {

// Finds the Vortan's SysEx messages in the byte stream the synthesizer receives.
//
// Bytes are taken one at a time and sorted by class first. Real-time bytes (F8-FF) may come
// anywhere and are skipped without touching the state. F0 starts a new frame and drops any
// frame in progress; F7 ends the frame in progress; every other status byte (80-EF, F1-F6)
// drops it. Data bytes (00-7F) are handled by the state: outside a frame they are ignored;
// inside the header they must match manufacturer 00 2B 17, device 00 and model 04 in turn,
// and a mismatch drops the frame; the next one is the command; all later ones form the body.
// At F7 a frame that got as far as its command comes out whole, with command, body and raw
// bytes. The body has no length limit: the firmware message is almost four megabytes.
class device_framer {
public:
    // Takes one byte; returns the message it completes, if any.
    std::optional<message> push(std::byte b);

    // True while bytes of a frame are being collected.
    bool in_frame() const noexcept { return !std::holds_alternative<waiting_start>(state); }

private:
    // Outside a frame (also after a dropped one): waiting for F0.
    struct waiting_start {};
    // After F0: `matched` header bytes after it have matched so far.
    struct in_header {
        std::size_t matched = 0;
    };
    // The header is complete; the next data byte is the command.
    struct waiting_command {};
    // Command seen; data bytes belong to the body.
    struct in_body {};
    using state_t = std::variant<waiting_start, in_header, waiting_command, in_body>;

    // Data-byte handlers, one per state; each returns the next state.
    state_t on_data(waiting_start, std::byte b);
    state_t on_data(in_header header, std::byte b);
    state_t on_data(waiting_command, std::byte b);
    state_t on_data(in_body, std::byte b);

    std::optional<message> on_end();
    void start();
    void drop();

    state_t state = waiting_start{};
    QByteArray raw;
};

} // namespace quillmar::standin

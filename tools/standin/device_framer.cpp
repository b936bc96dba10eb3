#include "device_framer.h"

#include <array>

namespace quillmar::standin {

namespace {

// The header bytes after F0, in order.
constexpr std::array<std::byte, 5> header_after_start{
    protocol::manufacturer_id[0], protocol::manufacturer_id[1], protocol::manufacturer_id[2],
    protocol::device_id, protocol::model_id};
static_assert(header_after_start.size() + 2 == protocol::header_size,
              "The header is F0, five fixed bytes and the command byte.");

constexpr std::byte first_realtime{0xF8};
constexpr std::byte first_status{0x80};

char to_char(std::byte b) noexcept {
    return static_cast<char>(std::to_integer<unsigned char>(b));
}

} // namespace

std::optional<message> device_framer::push(std::byte b) {
    // Real-time bytes: invisible to the framing.
    if (b >= first_realtime) {
        return std::nullopt;
    }
    // SysEx start and end.
    if (b == protocol::sysex_start) {
        start();
        return std::nullopt;
    }
    if (b == protocol::sysex_end) {
        return on_end();
    }
    // Every other status byte (voice and system common) breaks a frame.
    if (b >= first_status) {
        drop();
        return std::nullopt;
    }
    // Data bytes.
    state = std::visit([this, b](auto current) { return on_data(current, b); }, state);
    return std::nullopt;
}

device_framer::state_t device_framer::on_data(waiting_start, std::byte) {
    return waiting_start{};
}

device_framer::state_t device_framer::on_data(in_header header, std::byte b) {
    if (b != header_after_start[header.matched]) {
        drop();
        return waiting_start{};
    }
    raw.append(to_char(b));
    ++header.matched;
    if (header.matched == header_after_start.size()) {
        return waiting_command{};
    }
    return header;
}

device_framer::state_t device_framer::on_data(waiting_command, std::byte b) {
    raw.append(to_char(b));
    return in_body{};
}

device_framer::state_t device_framer::on_data(in_body, std::byte b) {
    raw.append(to_char(b));
    return in_body{};
}

std::optional<message> device_framer::on_end() {
    if (!std::holds_alternative<in_body>(state)) {
        drop();
        return std::nullopt;
    }
    raw.append(to_char(protocol::sysex_end));
    message m;
    const auto header_size = static_cast<int>(protocol::header_size);
    m.command = static_cast<protocol::command>(static_cast<unsigned char>(raw.at(header_size - 1)));
    m.body = raw.mid(header_size, raw.size() - header_size - 1);
    m.raw = std::move(raw);
    raw = QByteArray();
    state = waiting_start{};
    return m;
}

void device_framer::start() {
    raw.clear();
    raw.append(to_char(protocol::sysex_start));
    state = in_header{};
}

void device_framer::drop() {
    raw.clear();
    state = waiting_start{};
}

} // namespace quillmar::standin

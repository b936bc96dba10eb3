#include "wire.h"

namespace quillmar::standin {

namespace {

char to_char(std::byte b) noexcept {
    return static_cast<char>(std::to_integer<unsigned char>(b));
}
std::byte to_byte(char c) noexcept {
    return std::byte{static_cast<unsigned char>(c)};
}

} // namespace

QByteArray encode_nibbles(const QByteArray& payload) {
    QByteArray body;
    body.reserve(payload.size() * 2);
    for (const char c : payload) {
        body.append(to_char(protocol::low_nibble(to_byte(c))));
        body.append(to_char(protocol::high_nibble(to_byte(c))));
    }
    return body;
}

QByteArray decode_nibbles(const QByteArray& body, bool* complete) {
    const bool even = body.size() % 2 == 0;
    if (complete != nullptr) {
        *complete = even;
    }
    if (!even) {
        return {};
    }
    QByteArray payload;
    payload.reserve(body.size() / 2);
    for (int i = 0; i < body.size(); i += 2) {
        payload.append(to_char(protocol::join_nibbles(to_byte(body[i]), to_byte(body[i + 1]))));
    }
    return payload;
}

QByteArray make_message(protocol::command command, const QByteArray& body) {
    QByteArray message;
    message.reserve(static_cast<int>(protocol::bodyless_message_size) + body.size());
    message.append(to_char(protocol::sysex_start));
    for (const std::byte b : protocol::manufacturer_id) {
        message.append(to_char(b));
    }
    message.append(to_char(protocol::device_id));
    message.append(to_char(protocol::model_id));
    message.append(static_cast<char>(command));
    message.append(body);
    message.append(to_char(protocol::sysex_end));
    return message;
}

std::uint8_t crc8(const char* bytes, std::size_t size) noexcept {
    std::byte crc{0};
    for (std::size_t i = 0; i < size; ++i) {
        crc = protocol::crc8x_next(crc, to_byte(bytes[i]));
    }
    return std::to_integer<std::uint8_t>(crc);
}

QByteArray encode_preset_id(std::uint16_t index) {
    QByteArray bytes;
    bytes.append(static_cast<char>(index & 0xFFu));
    bytes.append(static_cast<char>((index >> 8) & 0xFFu));
    return encode_nibbles(bytes);
}

} // namespace quillmar::standin

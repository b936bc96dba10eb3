#include "firmware_image.h"

#include "splitmix64.h"
#include "wire.h"

#include <cstdint>

namespace quillmar::standin {

namespace {

constexpr std::uint64_t firmware_seed = 0x566F7274616E0202ull;

} // namespace

QByteArray make_firmware_message(const QByteArray& payload) {
    const QByteArray data = encode_nibbles(payload);
    const std::uint8_t crc = crc8(data);
    QByteArray body;
    body.reserve(static_cast<int>(protocol::crc_nibbles) + data.size());
    body.append(static_cast<char>(crc & 0x0Fu));
    body.append(static_cast<char>((crc >> 4) & 0x0Fu));
    body.append(data);
    return make_message(protocol::command::firmware_update, body);
}

QByteArray make_firmware_payload() {
    QByteArray payload(static_cast<int>(firmware_payload_size), Qt::Uninitialized);
    splitmix64 random(firmware_seed);
    std::uint64_t word = 0;
    for (int i = 0; i < payload.size(); ++i) {
        if (i % 8 == 0) {
            word = random.next();
        }
        payload[i] = static_cast<char>(word & 0xFFu);
        word >>= 8;
    }
    return payload;
}

QByteArray make_firmware_image() {
    return make_firmware_message(make_firmware_payload());
}

firmware_verdict check_firmware_body(const QByteArray& body) noexcept {
    const auto crc_size = static_cast<int>(protocol::crc_nibbles);
    if (body.size() < crc_size) {
        return firmware_verdict::no_crc;
    }
    const int data_size = body.size() - crc_size;
    if (data_size % 2 != 0) {
        return firmware_verdict::odd_data;
    }
    const char* data = body.constData() + crc_size;
    for (int i = 0; i < data_size; ++i) {
        if ((static_cast<unsigned char>(data[i]) & 0xF0u) != 0) {
            return firmware_verdict::not_nibbles;
        }
    }
    const auto carried =
        static_cast<std::uint8_t>((static_cast<unsigned char>(body[0]) & 0x0Fu) |
                                  ((static_cast<unsigned char>(body[1]) & 0x0Fu) << 4));
    return crc8(data, static_cast<std::size_t>(data_size)) == carried
               ? firmware_verdict::intact
               : firmware_verdict::crc_mismatch;
}

} // namespace quillmar::standin

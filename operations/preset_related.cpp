#include "preset_related.h"

#include "preset.pb.h"
#include "protocol.h"

#include <cstddef>
#include <limits>

QByteArray preset_to_byteArray(const proto::Preset& preset) {
    const std::size_t size = preset.ByteSizeLong();
    // A QByteArray holds at most INT_MAX bytes; the synthesizer's presets are a few hundred.
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return {};
    }
    QByteArray bytes(static_cast<int>(size), '\0');
    // The partial form never insists on required fields, so a preset without its id is
    // serialized instead of aborting. It fails only if the size above was wrong; then no
    // half-filled array is handed on.
    if (!preset.SerializePartialToArray(bytes.data(), bytes.size())) {
        return {};
    }
    return bytes;
}

QByteArray byte_array_to_sys(const QByteArray& bytes) {
    namespace protocol = quillmar::protocol;
    QByteArray body;
    body.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<std::byte>(c);
        body.append(static_cast<char>(protocol::low_nibble(b)));
        body.append(static_cast<char>(protocol::high_nibble(b)));
    }
    return body;
}

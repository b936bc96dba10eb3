#pragma once

// Hex rows for the link tests: "F0 00 2B" <-> bytes.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace link_test {

// Bytes of a hex row; blanks are ignored.
inline QByteArray bytes(const char* hex_row) {
    return QByteArray::fromHex(QByteArray(hex_row).replace(' ', ""));
}

inline std::vector<std::byte> byte_vector(const QByteArray& data) {
    std::vector<std::byte> out;
    out.reserve(static_cast<std::size_t>(data.size()));
    for (const char c : data) {
        out.push_back(static_cast<std::byte>(c));
    }
    return out;
}

// Upper-case hex row of a run of bytes, "" for none.
template <typename Byte> QString hex(std::span<Byte> data) {
    QStringList parts;
    for (const auto b : data) {
        parts << QStringLiteral("%1")
                     .arg(static_cast<unsigned>(static_cast<std::uint8_t>(b)), 2, 16, QChar('0'))
                     .toUpper();
    }
    return parts.join(' ');
}

inline QString hex(const QByteArray& data) {
    return hex(std::span<const char>{data.constData(), static_cast<std::size_t>(data.size())});
}

inline QString hex(std::byte b) {
    return hex(std::span<const std::byte>{&b, 1});
}

} // namespace link_test

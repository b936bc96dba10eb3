// The parsers chained as the tool reads the port must not touch the heap: global operator
// new is replaced here by a counting version, armed only while the bytes are parsed.

#include "full_preset.h"
#include "hex.h"
#include "parser_chain.h"
#include "preset_related.h"

#include <QtTest>

#include <array>
#include <cstdlib>
#include <new>

namespace {

bool counting = false;
long allocations = 0;

void* allocate(std::size_t size, std::size_t alignment) {
    if (counting) {
        ++allocations;
    }
    if (size == 0) {
        size = 1;
    }
    void* p = alignment > alignof(std::max_align_t)
                  ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                  : std::malloc(size);
    if (p == nullptr) {
        throw std::bad_alloc{};
    }
    return p;
}

} // namespace

void* operator new(std::size_t size) {
    return allocate(size, alignof(std::max_align_t));
}
void* operator new[](std::size_t size) {
    return allocate(size, alignof(std::max_align_t));
}
void* operator new(std::size_t size, std::align_val_t a) {
    return allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return allocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

namespace {

// What the listeners saw; each listener captures only a pointer to this.
struct tally {
    long events = 0;
    long errors = 0;
    long firmware_ends = 0;
    long preset_ends = 0;
    unsigned long firmware_sum = 0;
    unsigned long preset_bytes = 0;
};

template <std::size_t M, std::size_t S>
void listen_to_everything(quillmar::sysex_parser_buffered<S>& p, tally* t) {
    const auto event = [t] { ++t->events; };
    p.set_connection_request_listener(event);
    p.set_connection_request_acked_listener(event);
    p.set_firmware_update_request_listener(event);
    p.set_firmware_update_request_acked_listener(event);
    p.set_firmware_update_request_nacked_listener(event);
    p.set_firmware_update_start_listener(event);
    p.set_firmware_update_data_listener([t](std::span<std::byte> block) {
        for (const std::byte b : block) {
            t->firmware_sum += std::to_integer<unsigned>(b);
        }
    });
    p.set_firmware_update_end_listener([t] { ++t->firmware_ends; });
    p.set_firmware_update_succeeded_listener(event);
    p.set_firmware_update_failed_listener(event);
    p.set_preset_export_request_listener([t](std::uint16_t) { ++t->events; });
    p.set_preset_export_request_nacked_listener(event);
    p.set_preset_export_start_listener(event);
    p.set_preset_export_data_listener(
        [t](std::span<std::byte> block) { t->preset_bytes += block.size(); });
    p.set_preset_export_end_listener([t] { ++t->preset_ends; });
    p.set_preset_import_start_listener(event);
    p.set_preset_import_data_listener([t](std::span<std::byte>) {});
    p.set_preset_import_end_listener(event);
    p.set_preset_import_succeeded_listener(event);
    p.set_preset_import_failed_listener(event);
    p.set_error_listener([t](auto) { ++t->errors; });
}

// A complete firmware_update message of the shipped image's size, with a valid CRC.
QByteArray firmware_message() {
    constexpr int data_nibbles = 3931136;
    QByteArray data(data_nibbles, '\0');
    for (int i = 0; i < data_nibbles; ++i) {
        data[i] = static_cast<char>((i * 7 + 3) & 0x0F);
    }
    const std::byte crc = quillmar::protocol::crc8x(data);
    const QByteArray crc_field =
        byte_array_to_sys(QByteArray(1, static_cast<char>(std::to_integer<unsigned>(crc))));
    return link_test::bytes("F0 00 2B 17 00 04 05") + crc_field + data + link_test::bytes("F7");
}

} // namespace

class test_parser_allocations : public QObject {
    Q_OBJECT

private slots:
    void chained_parsers_never_allocate() {
        const QByteArray firmware = firmware_message();
        QCOMPARE(firmware.size(), 3931146);
        QByteArray presets;
        unsigned long preset_payload = 0;
        constexpr int preset_count = 64;
        for (int i = 0; i < preset_count; ++i) {
            const QByteArray payload = preset_to_byteArray(link_test::full_preset(i));
            preset_payload += static_cast<unsigned long>(payload.size());
            presets += link_test::bytes("F0 00 2B 17 00 04 0A") + byte_array_to_sys(payload) +
                       link_test::bytes("F7 F0 00 2B 17 00 04 0C F7");
        }
        // Malformed and foreign traffic takes the same road.
        const QByteArray noise = link_test::bytes("F0 7E 00 01 02 F7 90 3C 40 F8 F0 00 2B 17 00 "
                                                  "04 0E F7 F0 00 2B 17 00 04 08 01 00 F7");

        auto midi = std::make_unique<quillmar::midi_parser_buffered<1000>>();
        auto device = std::make_unique<quillmar::sysex_parser_buffered<1>>();
        quillmar::chain_parsers(*midi, *device);
        tally t;
        listen_to_everything<1000>(*device, &t);

        allocations = 0;
        counting = true;
        for (const QByteArray* stream :
             std::array<const QByteArray*, 3>{&firmware, &presets, &noise}) {
            for (const char c : *stream) {
                midi->parse(static_cast<std::byte>(c));
            }
        }
        counting = false;
        QCOMPARE(allocations, 0L);

        // The bytes were really taken apart.
        QCOMPARE(t.firmware_ends, 1L);
        unsigned long firmware_sum = 0;
        for (int i = 0; i < 3931136; i += 2) {
            firmware_sum += static_cast<unsigned long>(((i * 7 + 3) & 0x0F) |
                                                       ((((i + 1) * 7 + 3) & 0x0F) << 4));
        }
        QCOMPARE(t.firmware_sum, firmware_sum);
        QCOMPARE(t.preset_ends, static_cast<long>(preset_count));
        QCOMPARE(t.preset_bytes, preset_payload);
        QCOMPARE(t.errors, 4L); // foreign end, invalid command and its end, short id's end
    }
};

QTEST_APPLESS_MAIN(test_parser_allocations)
#include "test_parser_allocations.moc"

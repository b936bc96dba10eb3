// Throughput of the device link's parsers: a firmware_update message of the shipped image's
// size (3,931,146 bytes, valid CRC) fed byte by byte to the MIDI stream parser chained to the
// device message parser, as the serial reader feeds them.

#include "parser_chain.h"
#include "protocol.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t firmware_data_nibbles = 3931136;
constexpr std::size_t firmware_message_size =
    quillmar::protocol::header_size + quillmar::protocol::crc_nibbles + firmware_data_nibbles + 1;
static_assert(firmware_message_size == 3931146,
              "The benchmark message is as long as the shipped firmware image.");

std::vector<std::byte> firmware_message() {
    using namespace quillmar::protocol;
    std::vector<std::byte> data(firmware_data_nibbles);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = std::byte{static_cast<std::uint8_t>((i * 7 + 3) & 0x0F)};
    }
    const std::byte crc = crc8x(data);
    std::vector<std::byte> message;
    message.reserve(firmware_message_size);
    for (const std::byte b :
         {sysex_start, manufacturer_id[0], manufacturer_id[1], manufacturer_id[2], device_id,
          model_id, std::byte{static_cast<std::uint8_t>(command::firmware_update)}, low_nibble(crc),
          high_nibble(crc)}) {
        message.push_back(b);
    }
    for (const std::byte b : data) {
        message.push_back(b);
    }
    message.push_back(sysex_end);
    return message;
}

// How the device parser takes each SysEx chunk of the stream parser: as one run (the
// tool's chain), or byte by byte for comparison.
enum class feed { run, byte_by_byte };

template <feed how> void firmware_update_through_both_parsers(benchmark::State& state) {
    const std::vector<std::byte> message = firmware_message();
    auto midi = std::make_unique<quillmar::midi_parser_buffered<1000>>();
    auto device = std::make_unique<quillmar::sysex_parser_buffered<1>>();
    quillmar::chain_parsers(*midi, *device);
    if constexpr (how == feed::byte_by_byte) {
        midi->set_sysex_data_listener([d = device.get()](std::span<const std::byte> chunk) {
            for (const std::byte b : chunk) {
                d->parse(b);
            }
        });
    }
    struct seen {
        std::uint64_t sum = 0;
        std::uint64_t ends = 0;
    } s;
    device->set_firmware_update_data_listener([&s](std::span<std::byte> block) {
        for (const std::byte b : block) {
            s.sum += std::to_integer<std::uint64_t>(b);
        }
    });
    device->set_firmware_update_end_listener([&s] { ++s.ends; });

    for (auto _ : state) {
        for (const std::byte b : message) {
            midi->parse(b);
        }
        benchmark::DoNotOptimize(s.sum);
    }
    if (s.ends != static_cast<std::uint64_t>(state.iterations())) {
        state.SkipWithError("the firmware message was not recognised");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(message.size()));
}
BENCHMARK(firmware_update_through_both_parsers<feed::run>)->Unit(benchmark::kMillisecond);
BENCHMARK(firmware_update_through_both_parsers<feed::byte_by_byte>)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

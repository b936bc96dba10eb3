#pragma once

#include <cstdint>

namespace quillmar::standin {

// SplitMix64: a tiny generator whose output depends only on the seed, so generated data are
// the same on every run and every machine.
class splitmix64 {
public:
    explicit constexpr splitmix64(std::uint64_t seed) noexcept : state(seed) {}

    constexpr std::uint64_t next() noexcept {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // A number in [0, bound); bound must be above zero.
    constexpr std::uint32_t below(std::uint32_t bound) noexcept {
        return static_cast<std::uint32_t>(((next() >> 32) * bound) >> 32);
    }

    // True with the given probability (0 to 1).
    constexpr bool chance(double probability) noexcept {
        return static_cast<double>(next() >> 11) * 0x1.0p-53 < probability;
    }

private:
    std::uint64_t state;
};

} // namespace quillmar::standin

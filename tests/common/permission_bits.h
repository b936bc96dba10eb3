#pragma once

// Making a file's permission bits count for a test that runs as root.
//
// Root opens any file whatever its mode, through the capabilities CAP_DAC_OVERRIDE and
// CAP_DAC_READ_SEARCH. While a permission_bits_apply lives, the calling thread holds neither
// in its effective set, so a file of mode 000 is refused to it as to any user; its own files
// stay open to it as to their owner. They come back when it goes. A process that is not root
// holds neither capability to begin with, and nothing changes.

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdint>

namespace quillmar::test {

class permission_bits_apply {
public:
    permission_bits_apply() {
        if (!read_capabilities(saved)) {
            return;
        }
        std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> reduced = saved;
        reduced[0].effective &= ~(bit(CAP_DAC_OVERRIDE) | bit(CAP_DAC_READ_SEARCH));
        changed = write_capabilities(reduced);
    }
    ~permission_bits_apply() {
        if (changed) {
            write_capabilities(saved);
        }
    }
    permission_bits_apply(const permission_bits_apply&) = delete;
    permission_bits_apply& operator=(const permission_bits_apply&) = delete;

private:
    static_assert(CAP_DAC_OVERRIDE < 32 && CAP_DAC_READ_SEARCH < 32,
                  "Both capabilities lie in the first word of the capability sets.");

    static std::uint32_t bit(int capability) { return std::uint32_t{1} << capability; }
    static bool
    read_capabilities(std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3>& to) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return ::syscall(SYS_capget, &header, to.data()) == 0;
    }
    static bool
    write_capabilities(const std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3>& from) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return ::syscall(SYS_capset, &header, from.data()) == 0;
    }

    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> saved{};
    bool changed = false;
};

} // namespace quillmar::test

// Must not compile: the callable is larger than the listener's storage.
#include "inplace_function.h"

#include <array>

int main() {
    std::array<char, 33> big{};
    quillmar::listener<void()> l = [big] { (void)big; };
    l();
}

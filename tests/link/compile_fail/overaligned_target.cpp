// Must not compile: the callable needs a stricter alignment than the listener's storage.
#include "inplace_function.h"

struct alignas(32) wide {
    char c;
    void operator()() const {}
};

int main() {
    quillmar::listener<void()> l = wide{};
    l();
}

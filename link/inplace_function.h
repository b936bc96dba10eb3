#pragma once

// A callable wrapper that keeps its target inside the wrapper itself.
//
// inplace_function<R(Args...), Capacity, Alignment> holds any callable that fits into
// Capacity bytes aligned to Alignment; it never touches the heap. A callable that does not
// fit is rejected at compile time. The wrapper is copyable (the target is copied), moves
// are noexcept, and an empty wrapper may be called: it does nothing and returns a
// value-initialised R.
//
// The target is reached through a small table of plain functions made once per target
// type; an empty wrapper points at the table of "no target", so calling never needs a null
// check.

#include <cstddef>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace quillmar::priv::external::stdext {

template <typename Signature, std::size_t Capacity = 32, std::size_t Alignment = 16>
class inplace_function;

namespace detail {

template <typename T> struct is_inplace_function : std::false_type {};
template <typename S, std::size_t C, std::size_t A>
struct is_inplace_function<inplace_function<S, C, A>> : std::true_type {};

// The operations on one kind of target. Storage pointers point at the wrapper's buffer.
template <typename R, typename... Args> struct target_ops {
    R (*invoke)(void* storage, Args&&... args);
    void (*copy)(void* to, const void* from);
    void (*move)(void* to, void* from) noexcept;
    void (*destroy)(void* storage) noexcept;
};

template <typename R, typename... Args> R invoke_empty(void*, Args&&...) {
    if constexpr (!std::is_void_v<R>) {
        return R{};
    }
}
inline void copy_empty(void*, const void*) {}
inline void move_empty(void*, void*) noexcept {}
inline void destroy_empty(void*) noexcept {}

template <typename R, typename... Args>
inline constexpr target_ops<R, Args...> empty_ops{&invoke_empty<R, Args...>, &copy_empty,
                                                  &move_empty, &destroy_empty};

template <typename F, typename R, typename... Args> struct ops_for {
    static R invoke(void* storage, Args&&... args) {
        if constexpr (std::is_void_v<R>) {
            std::invoke(*static_cast<F*>(storage), std::forward<Args>(args)...);
        } else {
            return std::invoke(*static_cast<F*>(storage), std::forward<Args>(args)...);
        }
    }
    static void copy(void* to, const void* from) { ::new (to) F(*static_cast<const F*>(from)); }
    static void move(void* to, void* from) noexcept {
        ::new (to) F(std::move(*static_cast<F*>(from)));
        static_cast<F*>(from)->~F();
    }
    static void destroy(void* storage) noexcept { static_cast<F*>(storage)->~F(); }
    static constexpr target_ops<R, Args...> table{&invoke, &copy, &move, &destroy};
};

} // namespace detail

template <typename R, typename... Args, std::size_t Capacity, std::size_t Alignment>
class inplace_function<R(Args...), Capacity, Alignment> {
    static_assert(Alignment != 0 && (Alignment & (Alignment - 1)) == 0,
                  "The alignment of an inplace_function must be a power of two.");
    static_assert(Capacity >= sizeof(void*),
                  "An inplace_function must have room for at least one pointer.");

    using ops = detail::target_ops<R, Args...>;

public:
    using result_type = R;
    static constexpr std::size_t capacity = Capacity;
    static constexpr std::size_t alignment = Alignment;

    inplace_function() noexcept {}
    inplace_function(std::nullptr_t) noexcept {}

    template <typename F, typename Target = std::decay_t<F>,
              typename = std::enable_if_t<!detail::is_inplace_function<Target>::value &&
                                          std::is_invocable_r_v<R, Target&, Args...>>>
    inplace_function(F&& f) {
        static_assert(sizeof(Target) <= Capacity,
                      "The callable is larger than the storage of this inplace_function; "
                      "capture less or raise the capacity.");
        static_assert(Alignment % alignof(Target) == 0,
                      "The callable needs a stricter alignment than the storage of this "
                      "inplace_function provides.");
        static_assert(std::is_nothrow_move_constructible_v<Target>,
                      "The callable must be nothrow move constructible, because moving an "
                      "inplace_function never throws.");
        static_assert(std::is_copy_constructible_v<Target>,
                      "The callable must be copy constructible, because an inplace_function "
                      "can be copied.");
        // Only a fitting target is built, so a misfit reports the assertion above alone.
        if constexpr (sizeof(Target) <= Capacity && Alignment % alignof(Target) == 0) {
            ::new (static_cast<void*>(&storage)) Target(std::forward<F>(f));
            table = &detail::ops_for<Target, R, Args...>::table;
        }
    }

    inplace_function(const inplace_function& other) : table{other.table} {
        table->copy(&storage, &other.storage);
    }

    inplace_function(inplace_function&& other) noexcept : table{other.table} {
        table->move(&storage, &other.storage);
        other.table = &detail::empty_ops<R, Args...>;
    }

    inplace_function& operator=(const inplace_function& other) {
        if (this != &other) {
            // Copy first into a temporary, so a throwing copy leaves *this unchanged.
            inplace_function copy{other};
            *this = std::move(copy);
        }
        return *this;
    }

    inplace_function& operator=(inplace_function&& other) noexcept {
        if (this != &other) {
            table->destroy(&storage);
            table = other.table;
            table->move(&storage, &other.storage);
            other.table = &detail::empty_ops<R, Args...>;
        }
        return *this;
    }

    inplace_function& operator=(std::nullptr_t) noexcept {
        clear();
        return *this;
    }

    template <typename F, typename Target = std::decay_t<F>,
              typename = std::enable_if_t<!detail::is_inplace_function<Target>::value &&
                                          std::is_invocable_r_v<R, Target&, Args...>>>
    inplace_function& operator=(F&& f) {
        // Build the new target completely before the old one goes.
        inplace_function replacement{std::forward<F>(f)};
        return *this = std::move(replacement);
    }

    ~inplace_function() { table->destroy(&storage); }

    // Calls the target; an empty wrapper returns R{} (or nothing for void).
    R operator()(Args... args) const {
        return table->invoke(&storage, std::forward<Args>(args)...);
    }

    explicit operator bool() const noexcept { return table != &detail::empty_ops<R, Args...>; }

    void clear() noexcept {
        table->destroy(&storage);
        table = &detail::empty_ops<R, Args...>;
    }

    void swap(inplace_function& other) noexcept {
        inplace_function tmp{std::move(other)};
        other = std::move(*this);
        *this = std::move(tmp);
    }

    friend bool operator==(const inplace_function& f, std::nullptr_t) noexcept {
        return !static_cast<bool>(f);
    }

private:
    const ops* table = &detail::empty_ops<R, Args...>;
    // Calling the wrapper is const, like std::function, while the target may change its own
    // state; the storage is therefore mutable.
    alignas(Alignment) mutable std::byte storage[Capacity];
};

} // namespace quillmar::priv::external::stdext

namespace quillmar {

// The listener of every parser event: a callable kept in 32 bytes aligned to 16.
template <typename Signature>
using listener = priv::external::stdext::inplace_function<Signature, 32, 16>;

} // namespace quillmar

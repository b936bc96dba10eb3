#include "inplace_function.h"

#include <QtTest>

#include <array>
#include <cstddef>
#include <type_traits>

using quillmar::listener;
using quillmar::priv::external::stdext::inplace_function;

namespace {

// A callable that counts the instances alive, so lost or doubled destructions show.
struct tracked {
    int* alive;
    int value;
    tracked(int* alive_, int value_) : alive{alive_}, value{value_} { ++*alive; }
    tracked(const tracked& other) : alive{other.alive}, value{other.value} { ++*alive; }
    tracked(tracked&& other) noexcept : alive{other.alive}, value{other.value} { ++*alive; }
    tracked& operator=(const tracked&) = delete;
    ~tracked() { --*alive; }
    int operator()() const { return value; }
};

static_assert(std::is_nothrow_move_constructible_v<listener<void()>> &&
                  std::is_nothrow_move_assignable_v<listener<void()>>,
              "Moving a listener never throws.");
static_assert(sizeof(listener<void()>) <= 48 && alignof(listener<void()>) == 16,
              "A listener is its 32 bytes of storage, aligned to 16, and one pointer.");

} // namespace

class test_inplace_function : public QObject {
    Q_OBJECT

private slots:
    void empty_returns_value_initialised() {
        const listener<void()> nothing;
        nothing();
        QVERIFY(!nothing);

        const listener<int(int)> no_number;
        QCOMPARE(no_number(7), 0);
        const listener<double()> no_double{nullptr};
        QCOMPARE(no_double(), 0.0);
    }

    void forwards_arguments_and_result() {
        int seen = 0;
        listener<int(int, int&)> add = [](int a, int& out) { return out = a + 1; };
        QCOMPARE(add(41, seen), 42);
        QCOMPARE(seen, 42);
        QVERIFY(static_cast<bool>(add));
    }

    void target_of_full_capacity_and_alignment_fits() {
        struct alignas(16) full {
            std::array<char, 32> bytes{};
            char operator()() const { return bytes[31]; }
        };
        full f;
        f.bytes[31] = 'z';
        const listener<char()> l = f;
        QCOMPARE(l(), 'z');
        const inplace_function<int(), 64, 32> wide = [big = std::array<int, 16>{5}] {
            return big[0];
        };
        QCOMPARE(wide(), 5);
    }

    void copy_holds_its_own_target() {
        listener<int()> counter = [n = 0]() mutable { return ++n; };
        QCOMPARE(counter(), 1);
        listener<int()> copy = counter;
        QCOMPARE(copy(), 2);
        QCOMPARE(copy(), 3);
        QCOMPARE(counter(), 2);
        listener<int()> assigned;
        assigned = copy;
        QCOMPARE(assigned(), 4);
        QCOMPARE(copy(), 4);
    }

    void move_empties_the_source() {
        listener<int()> source = [] { return 9; };
        listener<int()> target = std::move(source);
        QCOMPARE(target(), 9);
        QVERIFY(!source); // NOLINT(bugprone-use-after-move): the moved-from state is defined
        QCOMPARE(source(), 0);
        listener<int()> other = [] { return 1; };
        other = std::move(target);
        QCOMPARE(other(), 9);
        QVERIFY(!target);
    }

    void every_target_is_destroyed_exactly_once() {
        int alive = 0;
        {
            listener<int()> a = tracked{&alive, 1};
            QCOMPARE(alive, 1);
            listener<int()> b = a;
            QCOMPARE(alive, 2);
            a = tracked{&alive, 2}; // replaces the old target
            QCOMPARE(alive, 2);
            QCOMPARE(a(), 2);
            listener<int()> c = std::move(b);
            QCOMPARE(alive, 2);
            QCOMPARE(c(), 1);
            const auto& same = c;
            c = same; // self-assignment keeps the target
            QCOMPARE(c(), 1);
            c = nullptr;
            QCOMPARE(alive, 1);
            a.swap(c);
            QCOMPARE(c(), 2);
            QVERIFY(!a);
            QCOMPARE(alive, 1);
        }
        QCOMPARE(alive, 0);
    }
};

QTEST_APPLESS_MAIN(test_inplace_function)
#include "test_inplace_function.moc"

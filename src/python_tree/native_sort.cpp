#include "python_tree/native_sort.hpp"

#include <bit>
#include <utility>

namespace quorel::tree {
namespace {

constexpr std::uint64_t sign_bit = std::uint64_t(1) << 63;

// Two's complement ints in unsigned order.
constexpr std::uint64_t int_order(std::uint64_t bits) noexcept { return bits ^ sign_bit; }

// Doubles other than NaN in unsigned order; 0.0 and -0.0, which are equal, alike.
std::uint64_t real_order(std::uint64_t bits) noexcept {
    if (std::bit_cast<double>(bits) == 0) {
        return sign_bit;
    }
    return (bits & sign_bit) != 0 ? ~bits : bits | sign_bit;
}

// The sort key of a str with a code point above 255 among its first 8: the code points
// before it one byte each, as in the prefixed form, then all ones. Every str that shares
// those code points and has a smaller one (or none) next sorts below, so the key never
// contradicts the order against either form of str.
std::uint64_t text_order(PyObject* text) noexcept {
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < 8; ++i) {
        const Py_UCS4 c = PyUnicode_ReadChar(text, Py_ssize_t(i));
        if (c > 0xFF) {
            return bits | ~std::uint64_t(0) >> (8 * i);
        }
        bits |= std::uint64_t(c) << (56 - 8 * i);
    }
    return bits;  // not reached: a text key has such a code point
}

// Bits needed for a value in two's complement.
unsigned width(std::int64_t value) noexcept {
    return 65u - unsigned(std::countl_zero(std::uint64_t(value < 0 ? ~value : value)));
}

constexpr unsigned pair_bit = 31;

unsigned kind_bit(KeyKind kind) noexcept {
    return is_pair(kind) ? pair_bit : unsigned(kind);
}

// Below this many records a comparison sort is faster than the radix sort's passes. In
// instructions (callgrind, a batch of shuffled ints into an empty tree, sort and build)
// the radix sort is 3% behind at 2048 records and 4% and 8% ahead at 4096 and 8192.
constexpr std::size_t min_radix_sorted = 4096;

// A least significant digit first radix sort, skipping the digits every key shares.
void radix_sort(TemporaryVector<SortRecord>& records) {
    constexpr unsigned digit_bits = 11;
    constexpr std::uint64_t digit_mask = (std::uint64_t(1) << digit_bits) - 1;
    constexpr unsigned digits = (64 + digit_bits - 1) / digit_bits;
    std::uint64_t differ = 0;
    for (const SortRecord& r : records) {
        differ |= r.key ^ records[0].key;
    }
    // The digits where some keys differ, counted in one pass.
    unsigned shifts[digits];
    unsigned sorted_digits = 0;
    for (unsigned d = 0; d < digits; ++d) {
        if (((differ >> (d * digit_bits)) & digit_mask) != 0) {
            shifts[sorted_digits++] = d * digit_bits;
        }
    }
    TemporaryVector<std::size_t> counts(std::size_t(sorted_digits) << digit_bits);
    for (const SortRecord& r : records) {
        for (unsigned d = 0; d < sorted_digits; ++d) {
            ++counts[(d << digit_bits) + ((r.key >> shifts[d]) & digit_mask)];
        }
    }
    TemporaryVector<SortRecord> other(records.size());
    for (unsigned d = 0; d < sorted_digits; ++d) {
        const unsigned shift = shifts[d];
        std::size_t* start = counts.data() + (std::size_t(d) << digit_bits);
        std::size_t sum = 0;
        for (std::uint64_t b = 0; b <= digit_mask; ++b) {
            sum += std::exchange(start[b], sum);
        }
        for (const SortRecord& r : records) {
            other[start[(r.key >> shift) & digit_mask]++] = r;
        }
        records.swap(other);
    }
}

}  // namespace

void SortKeyRule::add(const KeyView& key) noexcept {
    kinds_ |= 1u << kind_bit(key.kind);
    if (is_pair(key.kind)) {
        const unsigned low = unsigned(key.kind) - unsigned(KeyKind::pair);
        pair_low_ = std::max(pair_low_, low);
        pair_high_ = std::max(pair_high_, width(pair_first(key.bits, key.kind)));
    }
}

bool SortKeyRule::exact() const noexcept {
    return kinds_ == 1u << unsigned(KeyKind::integer) || kinds_ == 1u << unsigned(KeyKind::real) ||
           (kinds_ == 1u << pair_bit && pair_high_ + pair_low_ <= 64);
}

std::uint64_t SortKeyRule::key(const KeyView& key) const noexcept {
    if (is_pair(key.kind)) {
        const std::uint64_t first = std::uint64_t(pair_first(key.bits, key.kind));
        if (!exact()) {
            return int_order(first);
        }
        // Both items offset to unsigned in fields of fixed widths: the first item in the
        // high 64 - low bits, the second in the low ones.
        const unsigned low = pair_low_;
        const std::uint64_t second = std::uint64_t(pair_second(key.bits, key.kind));
        const std::uint64_t low_mask = (std::uint64_t(1) << low) - 1;
        return ((first ^ (std::uint64_t(1) << (63 - low))) << low) |
               ((second ^ (std::uint64_t(1) << (low - 1))) & low_mask);
    }
    switch (key.kind) {
        case KeyKind::integer:
        case KeyKind::tuple_integer:
            return int_order(key.bits);
        case KeyKind::real:
        case KeyKind::tuple_real:
            return real_order(key.bits);
        case KeyKind::prefixed:
        case KeyKind::tuple_prefixed:
            return key.bits;
        case KeyKind::text:
            return text_order(key.object);
        case KeyKind::tuple_text:
            return text_order(PyTuple_GetItem(key.object, 0));
        default:  // a tuple that starts with a tuple: its sort key decides nothing
            return 0;
    }
}

void sort_records(TemporaryVector<SortRecord>& records) {
    auto by_key = [](const SortRecord& a, const SortRecord& b) noexcept {
        return a.key < b.key;
    };
    if (std::is_sorted(records.begin(), records.end(), by_key)) {
        return;
    }
    if (records.size() >= min_radix_sorted) {
        radix_sort(records);
        return;
    }
    std::sort(records.begin(), records.end(), [](const SortRecord& a, const SortRecord& b) {
        return a.key != b.key ? a.key < b.key : a.index < b.index;
    });
}

}  // namespace quorel::tree

#pragma once
// Unsigned 128-bit arithmetic, no more than the reasoning of exact.cpp needs:
// the products of a multiplier below 2^64 by a dividend below 2^33, and of
// an error below 2^96 by a quotient below 2^32, held exactly. Written out on
// 64-bit halves (and 32-bit limbs for the products), so that it is the same
// on i686, which has no __int128, as on x86-64.
#include <cstdint>

struct wide {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
};

constexpr wide wide_of(std::uint64_t value) { return {0, value}; }

constexpr bool operator==(wide a, wide b) { return a.high == b.high && a.low == b.low; }
constexpr bool operator!=(wide a, wide b) { return !(a == b); }
constexpr bool operator<(wide a, wide b) {
    return a.high != b.high ? a.high < b.high : a.low < b.low;
}
constexpr bool operator<=(wide a, wide b) { return !(b < a); }

constexpr wide operator+(wide a, wide b) {
    const std::uint64_t low = a.low + b.low;
    return {a.high + b.high + (low < a.low ? 1 : 0), low};
}

// a - b, for b <= a.
constexpr wide operator-(wide a, wide b) {
    return {a.high - b.high - (a.low < b.low ? 1 : 0), a.low - b.low};
}

constexpr wide shift_left(wide a, unsigned bits) {
    if (bits == 0) return a;
    if (bits >= 128) return {};
    if (bits >= 64) return {a.low << (bits - 64), 0};
    return {(a.high << bits) | (a.low >> (64 - bits)), a.low << bits};
}

constexpr wide shift_right(wide a, unsigned bits) {
    if (bits == 0) return a;
    if (bits >= 128) return {};
    if (bits >= 64) return {0, a.high >> (bits - 64)};
    return {a.high >> bits, (a.low >> bits) | (a.high << (64 - bits))};
}

// 2^bits, for bits below 128.
constexpr wide power_of_two(unsigned bits) { return shift_left(wide_of(1), bits); }

// The whole product of a and b, from their 32-bit limbs.
constexpr wide multiply(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32;
    const std::uint64_t b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const std::uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
    return {p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32), (middle << 32) | (p00 & 0xFFFFFFFFu)};
}

// a * b, where the product is below 2^128.
constexpr wide multiply(wide a, std::uint64_t b) {
    const wide low = multiply(a.low, b);
    return {low.high + a.high * b, low.low};
}

// a / b and a % b, for b above 0: by the processor where both fit 64 bits,
// or with the compiler's 128-bit division where it has one; else long
// division, a bit at a time.
constexpr wide divide(wide a, wide b, wide* rest = nullptr) {
    if (a.high == 0 && b.high == 0) {
        if (rest != nullptr) *rest = wide_of(a.low % b.low);
        return wide_of(a.low / b.low);
    }
#ifdef __SIZEOF_INT128__
    const unsigned __int128 x = (static_cast<unsigned __int128>(a.high) << 64) | a.low;
    const unsigned __int128 y = (static_cast<unsigned __int128>(b.high) << 64) | b.low;
    if (rest != nullptr) {
        const unsigned __int128 r = x % y;
        *rest = {static_cast<std::uint64_t>(r >> 64), static_cast<std::uint64_t>(r)};
    }
    const unsigned __int128 q = x / y;
    return {static_cast<std::uint64_t>(q >> 64), static_cast<std::uint64_t>(q)};
#endif
    wide quotient;
    wide remainder;
    for (int bit = 127; bit >= 0; --bit) {
        remainder = shift_left(remainder, 1);
        remainder.low |= (bit >= 64 ? a.high >> (bit - 64) : a.low >> bit) & 1;
        quotient = shift_left(quotient, 1);
        if (b <= remainder) {
            remainder = remainder - b;
            quotient.low |= 1;
        }
    }
    if (rest != nullptr) *rest = remainder;
    return quotient;
}

// The least whole number at or above a / b, for b above 0.
constexpr wide divide_up(wide a, wide b) {
    wide rest;
    const wide quotient = divide(a, b, &rest);
    return rest == wide{} ? quotient : quotient + wide_of(1);
}

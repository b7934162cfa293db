#pragma once
// A small fixed-seed generator for made-up report text: the same seed gives the same numbers on
// every run and every machine, so that what is built from them can be compared and measured.

#include <cstdint>

class FixedNumbers {
public:
    explicit FixedNumbers(std::uint32_t seed) : state_(seed) {}

    // The next number below `bound` (a linear congruential step; the low bits are the weakest).
    std::uint32_t next(std::uint32_t bound) {
        state_ = state_ * 1664525u + 1013904223u;
        return (state_ >> 8) % bound;
    }

private:
    std::uint32_t state_;
};

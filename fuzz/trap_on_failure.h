#pragma once
// Ends a fuzzing run at the first broken check, so that libFuzzer keeps the input.

#include <cstdio>
#include <string>

inline void trap_on_failure(const std::string& failure) {
    if (failure.empty()) return;
    std::fprintf(stderr, "check failed: %s\n", failure.c_str());
    __builtin_trap();
}

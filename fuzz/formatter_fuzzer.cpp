// Any bytes, NULs and all, as a raw report: the listing's shape, the fields, the worker's buffer
// and a plain reference reading of the two passes must all agree.

#include <cstddef>
#include <cstdint>

#include "fuzz/checks/formatter_checks.h"
#include "fuzz/trap_on_failure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    trap_on_failure(formatter_checks::check_formatter(data, size));
    return 0;
}

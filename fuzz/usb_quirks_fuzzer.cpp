// A quirks file of any bytes read over the built-in quirks (checks in
// checks/usb_quirks_checks.h).

#include <cstddef>
#include <cstdint>

#include "fuzz/checks/usb_quirks_checks.h"
#include "fuzz/trap_on_failure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    trap_on_failure(usb_quirks_checks::check_quirks(data, size));
    return 0;
}

// A report session against a printer whose every answer comes from the input (the script is
// described in checks/session_checks.h), checked against a plain model of the exchange.

#include <cstddef>
#include <cstdint>

#include "fuzz/checks/session_checks.h"
#include "fuzz/trap_on_failure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    trap_on_failure(session_checks::check_session(data, size));
    return 0;
}

// The packet reader over a fake bulk IN endpoint whose packets, pauses, time-outs and errors come
// from the input, with a report session reading through it (the script and the checks are
// described in checks/packet_checks.h).

#include <cstddef>
#include <cstdint>

#include "fuzz/checks/packet_checks.h"
#include "fuzz/trap_on_failure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    trap_on_failure(packet_checks::check_packets(data, size));
    return 0;
}

// What the USB link decodes from a device: string descriptors, an endpoint's status answer, and
// the choice of the printer interface and its bulk pair from a configuration (the input's format
// and the checks are described in checks/descriptor_checks.h).

#include <cstddef>
#include <cstdint>

#include "fuzz/checks/descriptor_checks.h"
#include "fuzz/trap_on_failure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    trap_on_failure(descriptor_checks::check_descriptors(data, size));
    return 0;
}

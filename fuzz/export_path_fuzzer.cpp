// The export path built from odd TEMP values and system folders (input layout in
// checks/export_path_checks.h).

#include <cstddef>
#include <cstdint>

#include "fuzz/checks/export_path_checks.h"
#include "fuzz/trap_on_failure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    trap_on_failure(export_path_checks::check_export_path(data, size));
    return 0;
}

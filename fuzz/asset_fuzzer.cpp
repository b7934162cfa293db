// Unscrambling any bytes of any length; and, once per process (the pictures are large), the
// plain copy of every asset.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/checks/asset_checks.h"
#include "fuzz/trap_on_failure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string assets_failure = asset_checks::check_all_assets();
    trap_on_failure(assets_failure);
    trap_on_failure(asset_checks::check_unscramble(data, size));
    return 0;
}

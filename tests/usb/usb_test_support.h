#pragma once
// What the USB tests share: acting as an ordinary user towards a device node.

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace usb_test {

// Takes away, for the calling thread, the capabilities that let root open any file, so that a
// device node's mode bites as it does for an ordinary user.
class WithoutFileAccessOverride {
public:
    WithoutFileAccessOverride() {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &header_, reduced);
    }
    ~WithoutFileAccessOverride() { syscall(SYS_capset, &header_, saved_); }
    WithoutFileAccessOverride(const WithoutFileAccessOverride&) = delete;
    WithoutFileAccessOverride& operator=(const WithoutFileAccessOverride&) = delete;

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
};

}  // namespace usb_test

// Prints "ok" and exits 0. wine-run.sh --can-run starts it to learn whether this machine can
// run programs of this build's width under Wine at all (some kernels refuse 32-bit programs).
#include <cstdio>

int main() {
    std::puts("ok");
    return 0;
}

// A set-user-ID program with faults on request, for the sanitizer build
// only. It takes root exactly as the helpers do, so each fault happens in
// the state a helper's own code runs in: root, descriptors closed, signals
// ignored, core dumps off. With no fault named it ends cleanly.
#include "setuid.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

volatile char sink;
volatile int isink;
// Sizes and indexes the compiler cannot see through, so that the faults
// survive to run time instead of being refused at compile time.
volatile size_t size16 = 16;
char *volatile freed;

int heap_overflow()
{
    char *buf = static_cast<char *>(malloc(size16));
    memset(buf, 'x', size16);
    sink = buf[size16];  // the fault
    free(buf);
    return 0;
}

int use_after_free()
{
    freed = static_cast<char *>(malloc(size16));
    free(freed);
    // cppcheck-suppress deallocuse ; the fault
    sink = freed[0];  // NOLINT(clang-analyzer-unix.Malloc): the fault
    return 0;
}

// NOLINTBEGIN(clang-analyzer-unix.Malloc): the leak is the fault
int leak()
{
    char *buf = static_cast<char *>(malloc(64));
    buf[0] = 'x';
    sink = buf[0];
    // cppcheck-suppress memleak ; the fault
    buf = nullptr;
    return 0;
}
// NOLINTEND(clang-analyzer-unix.Malloc)

int signed_overflow(int argc)
{
    volatile int big = INT_MAX;
    isink = big + argc;  // the fault
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (!initsetuid())
        exit(1);
    const char *fault = argc > 1 ? argv[1] : "";
    if (strcmp(fault, "heap-overflow") == 0)
        return heap_overflow();
    if (strcmp(fault, "use-after-free") == 0)
        return use_after_free();
    if (strcmp(fault, "leak") == 0)
        return leak();
    if (strcmp(fault, "signed-overflow") == 0)
        return signed_overflow(argc);
    // A clean run: the leak check at exit must find nothing and must not
    // fail for want of privilege or of a descriptor.
    puts("clean");
    return 0;
}

#include "platform/Memory.h"

// Any C library header says which library this is.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// Larger than a pass's working set for pages of a few megabytes; a page
// larger than the mapping limit still gets mappings of its own, which go back
// as soon as it is freed.
constexpr int KeepAtTop = 64 << 20;
constexpr int OwnMappingFrom = 32 << 20;

} // namespace

void KeepFreedMemoryDuringPasses()
{
#if defined(__GLIBC__)
    mallopt(M_TRIM_THRESHOLD, KeepAtTop);
    mallopt(M_MMAP_THRESHOLD, OwnMappingFrom);
#endif
}

void ReturnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

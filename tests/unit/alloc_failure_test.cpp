#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>

#include "support/plugin_harness.h"

// The bank is the instance's second allocation, and its only aligned one;
// making it fail shows that instantiate gives the host no instance and keeps
// no record behind (the sanitizer build reports the leak if it does).
namespace {
bool fail_aligned_alloc = false;
}

// Every other call goes on to the allocator this one hides: the C library's,
// or the sanitizer's, which must also see the block freed.
extern "C" void* aligned_alloc(size_t alignment, size_t size) noexcept
{
    if (fail_aligned_alloc) {
        return nullptr;
    }
    using AlignedAlloc = void* (*)(size_t, size_t);
    static const auto next = reinterpret_cast<AlignedAlloc>(dlsym(RTLD_NEXT, "aligned_alloc"));
    return next(alignment, size);
}

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

TEST(AllocationFailure, InstantiateReturnsNoInstance)
{
    const LV2_Descriptor* d = lv2_descriptor(0);
    fail_aligned_alloc = true;
    LV2_Handle handle = d->instantiate(d, 48000.0, "", nullptr);
    fail_aligned_alloc = false;
    EXPECT_EQ(handle, nullptr);

    // The next instantiate works as usual.
    handle = d->instantiate(d, 48000.0, "", nullptr);
    ASSERT_NE(handle, nullptr);
    d->cleanup(handle);
}

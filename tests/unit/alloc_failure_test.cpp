#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "support/plugin_harness.h"

// The bank is the instance's second allocation; making it fail shows that
// instantiate gives the host no instance and keeps no record behind (the
// sanitizer build reports the leak if it does).
namespace {
bool fail_nothrow_new = false;
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (fail_nothrow_new) {
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

// The bank is aligned for vector loads, so C++17 allocates it through the
// aligned form.
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept
{
    if (fail_nothrow_new) {
        return nullptr;
    }
    try {
        return ::operator new(size, align);
    } catch (...) {
        return nullptr;
    }
}

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

TEST(AllocationFailure, InstantiateReturnsNoInstance)
{
    const LV2_Descriptor* d = lv2_descriptor(0);
    fail_nothrow_new = true;
    LV2_Handle handle = d->instantiate(d, 48000.0, "", nullptr);
    fail_nothrow_new = false;
    EXPECT_EQ(handle, nullptr);

    // The next instantiate works as usual.
    handle = d->instantiate(d, 48000.0, "", nullptr);
    ASSERT_NE(handle, nullptr);
    d->cleanup(handle);
}

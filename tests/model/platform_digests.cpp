#include "platform_digests.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace model {
namespace {

std::string current_test_name()
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

// Reads "name digest" lines, as record() writes them.
bool read_digests(const char* path, std::map<std::string, uint64_t>& digests)
{
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    char name[512];
    uint64_t digest = 0;
    while (std::fscanf(file, "%511s %" SCNx64, name, &digest) == 2) digests[name] = digest;
    std::fclose(file);
    return true;
}

void record(const char* path, const std::string& name, uint64_t digest)
{
    FILE* file = std::fopen(path, "a");
    ASSERT_NE(file, nullptr) << "cannot append to " << path;
    std::fprintf(file, "%s %016" PRIx64 "\n", name.c_str(), digest);
    std::fclose(file);
}

}  // namespace

void check_output_digest(uint64_t digest)
{
    const std::string name = current_test_name();
    if (const char* path = std::getenv("OSTREVAN_RECORD_DIGESTS")) {
        record(path, name, digest);
    }
    if (const char* path = std::getenv("OSTREVAN_EXPECT_DIGESTS")) {
        std::map<std::string, uint64_t> expected;
        ASSERT_TRUE(read_digests(path, expected)) << "cannot read " << path;
        const auto found = expected.find(name);
        ASSERT_NE(found, expected.end()) << "the build machine's run recorded no digest for " << name;
        EXPECT_EQ(digest, found->second)
            << std::hex << "the plug-in's output differs from the build machine's";
    }
}

}  // namespace model

// How the start of the log switch file turns into a level, against the C
// library's own "%d" on the same bytes, and which files the log accepts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "diag/log_file.h"
#include "diag/log_level.h"

namespace {

// What instantiate gave before it read a bounded prefix: "%d" from a stream
// over the whole file, and level 1 for a file that does not start with an
// integer.
int32_t level_by_stream(const std::string& content)
{
    FILE* file = fmemopen(const_cast<char*>(content.data()), content.size(), "r");
    if (file == nullptr) {
        ADD_FAILURE() << "fmemopen";
        return INT32_MIN;
    }
    int value = 0;
    const int converted = std::fscanf(file, "%d", &value);
    std::fclose(file);
    return converted == 1 ? value : 1;
}

int32_t level_by_prefix(const std::string& content)
{
    const size_t count = std::min(content.size(), LEVEL_READ_BYTES);
    return level_from_prefix(content.data(), count);
}

std::string printable(const std::string& content)
{
    std::string shown;
    for (const char c : content.substr(0, 80)) {
        if (c >= 0x20 && c < 0x7f) {
            shown += c;
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(c));
            shown += code;
        }
    }
    return content.size() > 80 ? shown + "... (" + std::to_string(content.size()) + " bytes)"
                               : shown;
}

// Numbers at the edges of int, long and unsigned long, with and without a
// sign and leading zeros.
std::vector<std::string> edge_numbers()
{
    const char* const magnitudes[] = {
        "0",
        "1",
        "2147483646",
        "2147483647",
        "2147483648",
        "2147483649",
        "4294967295",
        "4294967296",
        "4294967297",
        "9223372036854775806",
        "9223372036854775807",
        "9223372036854775808",
        "9223372036854775809",
        "18446744073709551615",
        "18446744073709551616",
        "18446744073709551617",
        "99999999999999999999",
        "000000000000000000000000000000000000000042",
        "123456789012345678901234567890123456789012345678901234567890",
    };
    std::vector<std::string> numbers;
    for (const char* m : magnitudes) {
        for (const char* sign : {"", "+", "-"}) {
            numbers.push_back(std::string(sign) + m);
        }
    }
    return numbers;
}

// Short files of pieces that "%d" treats differently: C-locale blanks, bytes
// that are blanks elsewhere only, signs, digits, letters, a NUL.
std::string random_short(std::mt19937& rng)
{
    static const std::string pieces[] = {
        " ", "\t", "\n", "\v", "\f", "\r", "\xa0", "\x85", "\x1c", "+", "-", "0",
        "7", "9", "42", "x", "e", ".", ",", std::string(1, '\0'), "\xff", "2147483648",
    };
    std::uniform_int_distribution<size_t> count(0, 8);
    std::uniform_int_distribution<size_t> pick(0, sizeof pieces / sizeof pieces[0] - 1);
    std::string content;
    const size_t n = count(rng);
    for (size_t i = 0; i < n; ++i) {
        content += pieces[pick(rng)];
    }
    return content;
}

}  // namespace

// Every file whose first integer (blanks before it included) ends within the
// prefix gives the level "%d" gives; one that runs on past it gives level 1.
TEST(LogSwitch, LevelFromThePrefixAsPercentDReadsTheWholeFile)
{
    std::vector<std::string> exact;
    for (const std::string& number : edge_numbers()) {
        for (const char* before : {"", " ", "\n\t\v\f\r ", "\xa0"}) {
            for (const std::string& after : {std::string(), std::string("\n"), std::string("x"),
                                             std::string(" 5"), std::string(1, '\0')}) {
                exact.push_back(before + number + after);
            }
        }
    }
    for (const char* odd : {"", " ", "+", "-", "+-1", "- 1", "--1", "0x10", "1e5"}) {
        exact.emplace_back(odd);
    }
    exact.push_back(std::string("\0" "7", 2));
    std::mt19937 rng(20261207);
    for (int i = 0; i < 20000; ++i) {
        exact.push_back(random_short(rng));
    }

    // Long files: blanks, then an integer that ends just before, at or just
    // after the end of the prefix, then more bytes or none.
    struct Long {
        std::string content;
        size_t token_end;  // first byte after the blanks, sign and digits
    };
    std::vector<Long> longs;
    for (size_t blanks : {size_t{0}, size_t{1}, size_t{4000}, size_t{4090}, size_t{4096},
                          size_t{5000}}) {
        for (size_t digits : {size_t{0}, size_t{1}, size_t{5}, size_t{6}, size_t{7}, size_t{20},
                              size_t{4095}, size_t{4096}, size_t{4097}, size_t{9000}}) {
            for (const char* sign : {"", "-"}) {
                // A tail that begins with neither a blank nor a digit ends
                // the token where it was built to end.
                for (const std::string& tail : {std::string(), std::string("x"),
                                                std::string("x 3") + std::string(6000, '8')}) {
                    std::string content(blanks, blanks % 2 ? '\t' : ' ');
                    content += sign;
                    // Leading zeros keep a long run of digits a small number.
                    content += std::string(digits > 3 ? digits - 3 : 0, '0');
                    content += std::string("321").substr(0, std::min<size_t>(digits, 3));
                    const size_t token_end = content.size();
                    content += tail;
                    longs.push_back({content, token_end});
                }
            }
        }
    }

    int compared = 0;
    for (const std::string& content : exact) {
        ASSERT_LE(content.size(), LEVEL_PREFIX_BYTES);
        ASSERT_EQ(level_by_prefix(content), level_by_stream(content)) << printable(content);
        ++compared;
    }
    int beyond = 0;
    for (const Long& l : longs) {
        if (l.token_end <= LEVEL_PREFIX_BYTES) {
            ASSERT_EQ(level_by_prefix(l.content), level_by_stream(l.content))
                << printable(l.content);
            ++compared;
        } else {
            EXPECT_EQ(level_by_prefix(l.content), LEVEL_WITHOUT_INTEGER) << printable(l.content);
            ++beyond;
        }
    }
    // Both kinds of long file were made.
    EXPECT_GT(beyond, 50);
    EXPECT_GT(compared, 20300);
}

TEST(LogSwitch, OnlyTheUsersOwnSinglyLinkedRegularFileIsTheLog)
{
    const uid_t user = 1000;
    const struct {
        const char* what;
        mode_t mode;
        nlink_t links;
        uid_t owner;
        bool accepted;
    } cases[] = {
        {"own regular file", S_IFREG | 0644, 1, user, true},
        {"own file, any permissions", S_IFREG | 0000, 1, user, true},
        {"hard link (two names)", S_IFREG | 0644, 2, user, false},
        {"no name left", S_IFREG | 0644, 0, user, false},
        {"another user's file", S_IFREG | 0666, 1, 1001, false},
        {"root's file, host not root", S_IFREG | 0666, 1, 0, false},
        {"directory", S_IFDIR | 0777, 1, user, false},
        {"named pipe", S_IFIFO | 0666, 1, user, false},
        {"character device", S_IFCHR | 0666, 1, user, false},
        {"socket", S_IFSOCK | 0777, 1, user, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(accepts_log_file(c.mode, c.links, c.owner, user), c.accepted) << c.what;
    }
}

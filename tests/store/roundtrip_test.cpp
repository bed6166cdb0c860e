// Property: every list of entries that the format can hold reads back from
// the file that writekeyvalues made of it exactly as it was.
#include "store_util.h"

#include <gtest/gtest.h>

#include <random>

using namespace store;

namespace {

// Characters that make the format work: blanks, quotes, equals signs,
// carriage returns, other control bytes and bytes above 127.
const std::string tricky = std::string(" \t'=\r\x01\x7f\x80\xa0\xff#\"\\", 13) + "abcXYZ019";

std::string random_text(std::mt19937 &rng, size_t length, bool equals_allowed)
{
    std::string text;
    while (text.size() < length) {
        char c;
        if (rng() % 3 == 0)
            c = tricky[rng() % tricky.size()];
        else
            c = (char)(1 + rng() % 255);
        if (c == '\n' || (c == '=' && !equals_allowed))
            continue;
        text += c;
    }
    return text;
}

// One line per entry must fit the reader's 1022-character pieces.
size_t line_length(const std::string &key, const std::string &value)
{
    bool quoted = !value.empty() && (value[0] == '\'' || value.find(' ') != std::string::npos);
    return key.size() + 1 + value.size() + (quoted ? 2 : 0);
}

std::pair<std::string, std::string> random_entry(std::mt19937 &rng)
{
    for (;;) {
        size_t keylength = 1 + rng() % (rng() % 4 == 0 ? 1021 : 12);
        size_t room = 1022 - 1 - keylength;
        size_t valuelength;
        switch (rng() % 4) {
        case 0: valuelength = 0; break;
        case 1: valuelength = room; break;          // the longest line
        case 2: valuelength = room >= 2 ? room - 2 : 0; break; // the longest quoted one
        default: valuelength = rng() % (room + 1); break;
        }
        std::string key = random_text(rng, keylength, false);
        std::string value = random_text(rng, valuelength, true);
        if (rng() % 5 == 0 && !value.empty())
            value[0] = '\'';
        if (line_length(key, value) <= 1022)
            return {key, value};
    }
}

} // namespace

TEST(RoundTrip, RandomListsReadBackEqual)
{
    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::string path = scratch("roundtrip.settings");

    int longest = 0;
    for (int round = 0; round < 300; round++) {
        List list;
        int count = (int)(rng() % 25);
        for (int i = 0; i < count; i++) {
            auto entry = random_entry(rng);
            if (i > 0 && rng() % 8 == 0) {
                std::string again = list.entries()[rng() % i].first;
                if (line_length(again, entry.second) <= 1022)
                    entry.first = again;
            }
            longest += line_length(entry.first, entry.second) == 1022;
            list.add({entry});
        }
        ASSERT_EQ(writekeyvalues(list, path.c_str()), 1);
        List back;
        ASSERT_EQ(readkeyvalues(back, path.c_str()), 1) << "round " << round;
        ASSERT_EQ(back.entries(), list.entries()) << "round " << round;
    }
    EXPECT_GT(longest, 50) << "the generator should reach the longest lines";
}

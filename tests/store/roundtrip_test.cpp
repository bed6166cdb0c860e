// Property: whatever writekeyvalues reports written reads back exactly as
// it was written. A list the format cannot hold (an empty key, an equals
// sign in a key, a line longer than the reader's 1022-character pieces) is
// refused, and the file stays byte for byte what it was.
#include "store_util.h"

#include <gtest/gtest.h>

#include <random>

using namespace store;

namespace {

// Characters that make the format work: blanks, quotes, equals signs,
// carriage returns, other control bytes, bytes above 127 and shell syntax.
const std::string tricky = std::string(" \t'=\r\x01\x7f\x80\xa0\xff#\"\\", 13) + "$`;|&<>*?()~abcXYZ019";

std::string random_text(std::mt19937 &rng, size_t length)
{
    std::string text;
    while (text.size() < length) {
        char c;
        if (rng() % 3 == 0)
            c = tricky[rng() % tricky.size()];
        else
            c = (char)(1 + rng() % 255);
        if (c != '\n')
            text += c;
    }
    return text;
}

// The length of the entry's line as the format writes it, without its
// line feed.
size_t line_length(const std::string &key, const std::string &value)
{
    bool quoted = !value.empty() && (value[0] == '\'' || value.find(' ') != std::string::npos);
    return key.size() + 1 + value.size() + (quoted ? 2 : 0);
}

// Whether the reader gives the entry back as it is, worked out from the
// format's rules rather than from the writer's code.
bool reads_back(const std::string &key, const std::string &value)
{
    return !key.empty() && key.find('=') == std::string::npos && line_length(key, value) <= 1022;
}

// Lengths cluster where the format's limits are: empty, around the longest
// line and the longest quoted one, and the record's full 1022. `draw` and
// `spread` are two random numbers.
size_t random_length(unsigned draw, unsigned spread, size_t room)
{
    switch (draw % 6) {
    case 0: return 0;
    case 1: return room;
    case 2: return room >= 2 ? room - 2 : 0;
    case 3: return room + 1 + spread % 3;
    case 4: return 1022;
    default: return spread % (room + 1);
    }
}

std::pair<std::string, std::string> random_entry(std::mt19937 &rng)
{
    size_t keylength = rng() % 4 == 0 ? rng() % 1023 : 1 + rng() % 12;
    std::string key = random_text(rng, keylength);
    // Most keys are plain; some keep their equals signs, a few are empty.
    if (rng() % 6 != 0) {
        for (char &c : key)
            if (c == '=')
                c = '-';
    }
    if (rng() % 20 == 0)
        key.clear();
    size_t room = key.size() < 1021 ? 1021 - key.size() : 0;
    unsigned draw = rng(), spread = rng();
    std::string value = random_text(rng, std::min<size_t>(random_length(draw, spread, room), 1022));
    if (rng() % 5 == 0 && !value.empty())
        value[0] = '\'';
    return {key, value};
}

// Writes the list over a file holding `before`; either the write is
// refused and the file is untouched, or it reads back exactly.
void check_round_trip(const Entries &entries, const std::string &path, const std::string &before,
                      bool expected)
{
    write_text(path, before);
    List list;
    list.add(entries);
    int written = writekeyvalues(list, path.c_str());
    ASSERT_EQ(written, expected ? 1 : 0);
    if (!written) {
        EXPECT_EQ(read_text(path), before) << "a refused write changed the file";
        return;
    }
    List back;
    ASSERT_EQ(readkeyvalues(back, path.c_str()), 1);
    EXPECT_EQ(back.entries(), entries);
}

} // namespace

TEST(RoundTrip, RandomListsReadBackEqualOrAreRefusedUntouched)
{
    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::string path = scratch("roundtrip.settings");
    const std::string before = "OLD='contents of an earlier write'\nKEEP=1\n";

    int longest = 0, refused = 0, written = 0;
    for (int round = 0; round < 400; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        Entries entries;
        bool expected = true;
        // Half of the lists hold only entries the format can hold: a list
        // of entries drawn freely is seldom writable as a whole.
        bool writable = rng() % 2 == 0;
        int count = (int)(rng() % 12);
        for (int i = 0; i < count; i++) {
            auto entry = random_entry(rng);
            if (i > 0 && rng() % 8 == 0)
                entry.first = entries[rng() % i].first;
            while (writable && !reads_back(entry.first, entry.second))
                entry = random_entry(rng);
            expected = expected && reads_back(entry.first, entry.second);
            longest += line_length(entry.first, entry.second) == 1022;
            entries.push_back(entry);
        }
        (expected ? written : refused)++;
        check_round_trip(entries, path, before, expected);
        if (HasFatalFailure())
            return;
    }
    EXPECT_GT(longest, 50) << "the generator should reach the longest lines";
    EXPECT_GT(refused, 50) << "the generator should reach lists that cannot be written";
    EXPECT_GT(written, 50) << "the generator should reach lists that can be written";
}

TEST(RoundTrip, TheLimitsOfOneLine)
{
    struct Row {
        const char *what;
        std::string key, value;
        bool written;
    };
    const std::string x1021(1021, 'x');
    const Row rows[] = {
        {"a bare line of exactly 1022 characters", "A", std::string(1020, 'x'), true},
        {"a bare line of 1023 characters", "A", x1021, false},
        {"a value of 1022 characters", "A", std::string(1022, 'x'), false},
        {"a key of 1021 characters and an empty value", x1021, "", true},
        {"a key of 1022 characters", std::string(1022, 'k'), "", false},
        {"a quoted value at the limit", "A", "x " + std::string(1016, 'y'), true},
        {"a quoted value one past it", "A", "x " + std::string(1017, 'y'), false},
        {"a value beginning with a quote at the limit", "A", "'" + std::string(1017, 'y'), true},
        {"a value beginning with a quote one past it", "A", "'" + std::string(1018, 'y'), false},
        {"an equals sign in a key", "a=b", "c", false},
        {"an empty key", "", "lost", false},
        {"an equals sign in a value", "A", "b=c", true},
        {"a line feed in a value", "A", "x\nB=2", false},
        {"a line feed in a key", "A\nB", "v", false},
    };
    std::string path = scratch("limits.settings");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        // The entries around it must survive too.
        check_round_trip({{"BEFORE", "1"}, {row.key, row.value}, {"AFTER", "2"}}, path, "OLD=1\n",
                         row.written);
    }

    // A refused write does not even create a missing file.
    std::string fresh = scratch("limits-new.settings");
    List list;
    list.add({{"A", x1021}});
    EXPECT_EQ(writekeyvalues(list, fresh.c_str()), 0);
    EXPECT_NE(access(fresh.c_str(), F_OK), 0);
}

#include "setuid.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include <string>

namespace {

// What the shell makes of `prefix` followed by the quoted word: the words
// it sees, one a line, as printf prints them.
std::string words_after_shell(const char *text)
{
    char line[4096] = "printf '%s\\n' ";
    EXPECT_LT(strlcatquote(line, text, sizeof line), sizeof line);
    // The point of the test: the quoted word as a real shell reads it.
    FILE *sh = popen(line, "r");  // NOLINT(cert-env33-c)
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, sh)) > 0)
        out.append(buf, n);
    pclose(sh);
    return out;
}

} // namespace

TEST(Strlcatquote, EveryTextReachesTheCommandAsOneLiteralWord)
{
    const char *hostile[] = {
        "plain", "two words", "it's", "'", "''", "a'b'c", "$(touch /x)", "`id`", "; rm -rf /",
        "*", "?", "[a-z]", "~root", "line\nbreak", "tab\there", "back\\slash", "\"dq\"",
        "$HOME", "${IFS}", "a|b", "a&&b", ">/etc/passwd", "-rf", "",
    };
    for (const char *text : hostile)
        EXPECT_EQ(words_after_shell(text), std::string(text) + "\n") << text;
}

TEST(Strlcatquote, AppendsWholeOrNotAtAll)
{
    char buf[12] = "rm ";
    EXPECT_EQ(strlcatquote(buf, "a'b", sizeof buf), 3u + 8u);  // 'a'\''b'
    EXPECT_STREQ(buf, "rm 'a'\\''b'");

    char tight[12] = "rm ";
    EXPECT_EQ(strlcatquote(tight, "a'bc", sizeof tight), 12u);  // needs 13 bytes
    EXPECT_STREQ(tight, "rm ");  // unchanged, no half-quoted word

    char guard[8];
    memset(guard, 'G', sizeof guard);
    EXPECT_EQ(strlcatquote(guard, "x", sizeof guard), 8u + 3u);  // no terminator
    for (char c : guard)
        EXPECT_EQ(c, 'G');
}

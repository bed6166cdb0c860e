#include "setuid.h"

#include <gtest/gtest.h>

#include <string.h>

TEST(Strlcat, AppendsWithinRoomAndReportsTheWholeLength)
{
    char buf[10] = "abcdef";
    EXPECT_EQ(strlcat(buf, "xyz12", sizeof buf), 11u);
    EXPECT_STREQ(buf, "abcdefxyz");

    char fits[16] = "abc";
    EXPECT_EQ(strlcat(fits, "def", sizeof fits), 6u);
    EXPECT_STREQ(fits, "abcdef");

    char exact[7] = "abc";  // "abcdef" and its NUL fill it completely
    EXPECT_EQ(strlcat(exact, "def", sizeof exact), 6u);
    EXPECT_STREQ(exact, "abcdef");

    char empty[4] = "";
    EXPECT_EQ(strlcat(empty, "", sizeof empty), 0u);
    EXPECT_STREQ(empty, "");
}

TEST(Strlcat, UnterminatedBufferIsLeftAlone)
{
    char buf[8];
    // Deliberately without a terminator.
    memcpy(buf, "wxyzWXYZ", 8);  // NOLINT(bugprone-not-null-terminated-result)
    EXPECT_EQ(strlcat(buf, "12345", 4), 4u + 5u);
    EXPECT_EQ(memcmp(buf, "wxyzWXYZ", 8), 0);  // nothing written, not even past `size`
}

TEST(Strlcat, NeverWritesPastTheBuffer)
{
    char guard[12];
    memset(guard, 'G', sizeof guard);
    char *buf = guard + 2;  // an 8-byte buffer with guard bytes on both sides
    memcpy(buf, "abc", 4);
    EXPECT_EQ(strlcat(buf, "0123456789", 8), 13u);
    EXPECT_STREQ(buf, "abc0123");
    EXPECT_EQ(guard[0], 'G');
    EXPECT_EQ(guard[1], 'G');
    EXPECT_EQ(guard[10], 'G');
    EXPECT_EQ(guard[11], 'G');

    char one[1] = {'\0'};  // room only for the terminator
    EXPECT_EQ(strlcat(one, "abc", 1), 3u);
    EXPECT_EQ(one[0], '\0');
}

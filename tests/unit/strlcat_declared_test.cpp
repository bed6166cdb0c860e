// A C library may declare strlcat itself, with its own attributes. The
// runtime's declaration must meet it without a conflict, and the calls go
// to a function with the same contract.
#include <stddef.h>

extern "C" size_t strlcat(char *__restrict dst, const char *__restrict src, size_t size) noexcept
    __attribute__((__nonnull__(1, 2)));

#include "setuid.h"

#include <gtest/gtest.h>

TEST(Strlcat, MeetsTheCLibrarysOwnDeclaration)
{
    char buf[6] = "ab";
    EXPECT_EQ(strlcat(buf, "cdefg", sizeof buf), 7u);
    EXPECT_STREQ(buf, "abcde");
}

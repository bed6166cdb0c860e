// Running out of memory: in a child process whose address space is capped,
// every operation must keep going without a crash and report what it can.
#include "store_util.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>

using namespace store;

namespace {

const int SKIP = 77;

size_t count(keyvalue *head)
{
    size_t n = 0;
    for (keyvalue *e = head->next; e; e = e->next)
        n++;
    return n;
}

size_t mapped_bytes()
{
    unsigned long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm) {
        char text[64];
        char *end = text;
        if (fgets(text, sizeof(text), statm))
            pages = strtoul(text, &end, 10);
        if (end == text)
            pages = 0;
        fclose(statm);
    }
    return pages * (size_t)sysconf(_SC_PAGESIZE);
}

// The start of a small file, read without allocating.
const char *small_text(const char *path)
{
    static char text[256];
    memset(text, 0, sizeof(text));
    FILE *file = fopen(path, "r");
    if (file) {
        if (fread(text, 1, sizeof(text) - 1, file) == 0)
            text[0] = '\0';
        fclose(file);
    }
    return text;
}

#define CHECK(condition)                                                  \
    do {                                                                  \
        if (!(condition)) {                                               \
            fprintf(stderr, "line %d: %s does not hold\n", __LINE__, #condition); \
            return 1;                                                     \
        }                                                                 \
    } while (0)

// Runs with no allocation of its own once the cap is set.
int with_little_memory(const char *big, const char *small)
{
    size_t mapped = mapped_bytes();
    if (mapped == 0)
        return SKIP;
    struct rlimit cap = {mapped + (16u << 20), mapped + (16u << 20)};
    if (setrlimit(RLIMIT_AS, &cap) == -1)
        return SKIP;
    void *probe = malloc(64u << 20);
    if (probe) {
        fprintf(stderr, "the address-space cap is not enforced here\n");
        free(probe);
        return SKIP;
    }

    // A file too big for the memory left: the read says so.
    keyvalue *head = initkeyvalues();
    CHECK(head != nullptr);
    CHECK(readkeyvalues(head, big) == 0);
    size_t held = count(head);
    CHECK(held > 0);

    // Use up what the read gave back, then nothing more is added and nothing
    // crashes.
    for (int i = 0; i < 100000; i++) {
        appendkeyvalue(head, "filler", "1");
        if (count(head) == held)
            break;
        held++;
    }
    appendkeyvalue(head, "extra", "1");
    replacekeyvalue(head, "extra", "2");
    readkeyvaluesfromline(head, "a=1 b c=3");
    CHECK(count(head) == held);
    char value[1023] = "untouched";
    CHECK(findkey(head, "extra", value) == 0);
    CHECK(strcmp(value, "untouched") == 0);

    // The text of the new contents cannot be built: the file stays as it was.
    CHECK(writekeyvalues(head, small) == 0);
    CHECK(strcmp(small_text(small), "A=1\nB=2\n") == 0);

    // Without a head every operation is harmless.
    keyvalue *none = nullptr;
    for (int i = 0; i < 100000 && (none = initkeyvalues()); i++)
        free(none);
    if (!none) {
        CHECK(readkeyvalues(none, small) == 0);
        CHECK(writekeyvalues(none, small) == 0);
        CHECK(findkey(none, "A", value) == 0);
        appendkeyvalue(none, "A", "1");
        replacekeyvalue(none, "A", "1");
        readkeyvaluesfromline(none, "a=1");
        freekeyvalues(none);
    }

    // Once the entries are released the store works again.
    freekeyvalues(head);
    CHECK(readkeyvalues(head, small) == 1);
    CHECK(count(head) == 2);
    appendkeyvalue(head, "C", "3");
    CHECK(writekeyvalues(head, small) == 1);
    CHECK(strcmp(small_text(small), "A=1\nB=2\nC=3\n") == 0);
    freekeyvalues(head);
    free(head);
    return 0;
}

} // namespace

TEST(OutOfMemory, OperationsDegradeWithoutACrash)
{
    // memcheck runs the program on a simulated CPU of its own, which needs
    // far more address space than any cap this test could set.
    const char *preload = getenv("LD_PRELOAD");
    if (preload != nullptr && strstr(preload, "vgpreload") != nullptr)
        GTEST_SKIP() << "under valgrind";
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves its shadow memory up front and cannot run under an "
                    "address-space cap";
#endif
    std::string big = scratch("big.settings"), small = scratch("small.settings");
    std::string text;
    for (int i = 0; i < 20000; i++)
        text += "KEY" + std::to_string(i) + "=" + std::string(900, 'v') + "\n";
    write_text(big, text);
    write_text(small, "A=1\nB=2\n");

    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(with_little_memory(big.c_str(), small.c_str()));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == SKIP)
        GTEST_SKIP() << "no address-space cap in this environment";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the messages above";
}

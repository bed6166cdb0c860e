// Writing settings onto a full disk (a tiny tmpfs) and onto a file system
// without fallocate (ramfs), mounted in a private mount namespace of a child
// process, so that the host's mounts are never touched.
#include "store_util.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace store;

namespace {

const int SKIP = 77;

Entries settings(int count, size_t valuelength)
{
    Entries entries;
    for (int i = 0; i < count; i++)
        entries.emplace_back("KEY" + std::to_string(i), std::string(valuelength, (char)('a' + i % 26)));
    return entries;
}

// Writes `entries` and tells whether the call and the file both show the
// expected outcome: on success the new text, on failure the old one.
bool write_and_check(const std::string &path, const Entries &entries, int expected, const char *what)
{
    std::string before = read_text(path);
    struct stat old {};
    bool existed = stat(path.c_str(), &old) == 0;
    List list;
    list.add(entries);
    int result = writekeyvalues(list, path.c_str());

    List back;
    readkeyvalues(back, path.c_str());
    struct stat now {};
    stat(path.c_str(), &now);
    bool ok = result == expected && (!existed || now.st_ino == old.st_ino);
    if (expected == 1)
        ok = ok && back.entries() == entries;
    else
        ok = ok && read_text(path) == before;
    if (!ok)
        fprintf(stderr, "%s: result %d (wanted %d), file of %zu bytes (was %zu)\n", what, result, expected,
                read_text(path).size(), before.size());
    return ok;
}

// Fills the file system that holds `dir` to the last byte.
void fill(const std::string &dir)
{
    int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char block[4096];
    memset(block, 'f', sizeof(block));
    while (write(fd, block, sizeof(block)) > 0) {
    }
    while (write(fd, block, 1) > 0) {
    }
    close(fd);
}

int in_full_disk_namespace()
{
    std::string dir = std::string(KORVANE_SCRATCH) + "/tinydisk";
    mkdir(dir.c_str(), 0755);
    if (unshare(CLONE_NEWNS) == -1) {
        perror("unshare");
        return SKIP;
    }
    if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == -1) {
        perror("making / private");
        return SKIP;
    }
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=32k,mode=0755") == -1) {
        perror("mounting a tmpfs");
        return SKIP;
    }

    std::string path = dir + "/settings";
    int failures = 0;
    failures += !write_and_check(path, settings(4, 40), 1, "first version");
    fill(dir);
    // The file's one page is all the room there is.
    failures += !write_and_check(path, settings(40, 200), 0, "growing past the disk");
    failures += !write_and_check(path, settings(12, 300), 1, "growing within its page");
    failures += !write_and_check(path, settings(2, 10), 1, "shrinking");
    failures += !write_and_check(path, settings(40, 200), 0, "growing again");

    std::string fresh = dir + "/fresh";
    List list;
    list.add(settings(3, 10));
    if (writekeyvalues(list, fresh.c_str()) != 0 || !read_text(fresh).empty()) {
        fprintf(stderr, "a new file on the full disk: not refused, or not left empty\n");
        failures++;
    }

    unlink((dir + "/filler").c_str());
    failures += !write_and_check(path, settings(40, 200), 1, "after room was made");

    // A file system without fallocate: the room is reserved by rewriting
    // the file's blocks, which needs the file open for reading too.
    if (mount("ramfs", dir.c_str(), "ramfs", 0, "mode=0755") == -1) {
        perror("mounting a ramfs");
        return SKIP;
    }
    failures += !write_and_check(path, settings(4, 40), 1, "new file on ramfs");
    failures += !write_and_check(path, settings(40, 200), 1, "rewriting it on ramfs");
    return failures == 0 ? 0 : 1;
}

} // namespace

TEST(FullDisk, AFailedWriteReturns0AndKeepsTheOldContents)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(in_full_disk_namespace());
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == SKIP)
        GTEST_SKIP() << "the kernel refused a private mount namespace with a tmpfs";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the messages above";
}

// Several processes writing whole versions of one settings file while others
// read it: the locks must make every read see exactly one version.
#include "store_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <functional>

using namespace store;

namespace {

// Version `id` of the settings: its own number of entries and line lengths,
// so that a mix of two versions or a cut-off file cannot pass for one.
Entries version(int id)
{
    Entries entries;
    int count = 1 + (id * 7) % 40;
    for (int j = 0; j < count; j++) {
        std::string value = std::to_string(id) + ":" + std::to_string(j);
        value += std::string((id % 5) * 60 + j, j % 3 ? 'x' : ' ');
        entries.emplace_back("key" + std::to_string(j), value);
    }
    return entries;
}

pid_t spawn(const std::function<int()> &body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

int exit_code(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

TEST(Concurrency, EveryReadSeesOneWholeVersion)
{
    std::string path = scratch("shared.settings");
    {
        List first;
        first.add(version(0));
        ASSERT_EQ(writekeyvalues(first, path.c_str()), 1);
    }

    const int writers = 3, writes = 150, readers = 3, reads = 250;
    std::vector<pid_t> children;
    for (int w = 1; w <= writers; w++)
        children.push_back(spawn([&, w] {
            for (int i = 0; i < writes; i++) {
                List list;
                list.add(version(w * 1000 + i));
                if (writekeyvalues(list, path.c_str()) != 1)
                    return 1;
            }
            return 0;
        }));
    for (int r = 0; r < readers; r++)
        children.push_back(spawn([&] {
            for (int i = 0; i < reads; i++) {
                List list;
                if (readkeyvalues(list, path.c_str()) != 1) {
                    fprintf(stderr, "read %d failed\n", i);
                    return 2;
                }
                Entries seen = list.entries();
                int id = seen.empty() ? -1 : (int)strtol(seen[0].second.c_str(), nullptr, 10);
                if (seen.empty() || seen != version(id)) {
                    fprintf(stderr, "read %d saw %zu entries, not version %d\n", i, seen.size(), id);
                    return 3;
                }
            }
            return 0;
        }));

    for (pid_t child : children)
        EXPECT_EQ(exit_code(child), 0) << "child " << child;

    List last;
    ASSERT_EQ(readkeyvalues(last, path.c_str()), 1);
    Entries seen = last.entries();
    ASSERT_FALSE(seen.empty());
    int id = (int)strtol(seen[0].second.c_str(), nullptr, 10);
    EXPECT_EQ(id % 1000, writes - 1) << "the file ends with some writer's last version";
    EXPECT_EQ(seen, version(id));
}

TEST(Concurrency, ReadersAndWritersWaitForAConflictingLock)
{
    std::string path = scratch("locked.settings");
    write_text(path, "A=old\n");
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);

    // A reader waits while another process writes under its exclusive lock,
    // and then sees that process's contents.
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    pid_t reader = spawn([&] {
        List list;
        char value[1023] = "";
        return readkeyvalues(list, path.c_str()) == 1 && findkey(list, "A", value) == 1 &&
                       std::string(value) == "new"
                   ? 0
                   : 1;
    });
    usleep(300 * 1000);
    EXPECT_EQ(waitpid(reader, nullptr, WNOHANG), 0) << "the reader did not wait";
    ASSERT_EQ(pwrite(fd, "A=new\n", 6, 0), 6);
    ASSERT_EQ(flock(fd, LOCK_UN), 0);
    EXPECT_EQ(exit_code(reader), 0);

    // A writer waits while a reader holds its shared lock.
    ASSERT_EQ(flock(fd, LOCK_SH), 0);
    pid_t writer = spawn([&] {
        List list;
        appendkeyvalue(list, "A", "written");
        return writekeyvalues(list, path.c_str()) == 1 ? 0 : 1;
    });
    usleep(300 * 1000);
    EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the writer did not wait";
    EXPECT_EQ(read_text(path), "A=new\n");
    ASSERT_EQ(flock(fd, LOCK_UN), 0);
    EXPECT_EQ(exit_code(writer), 0);
    EXPECT_EQ(read_text(path), "A=written\n");
    close(fd);
}

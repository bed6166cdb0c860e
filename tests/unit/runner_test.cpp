#include "setuid.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

int forks = 0;
void count_fork()
{
    forks++;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A scratch file that a command running as any user may write.
std::string scratch(const char *name)
{
    chmod(KORVANE_SCRATCH, 01777);
    std::string path = std::string(KORVANE_SCRATCH) + "/" + name;
    unlink(path.c_str());
    return path;
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// Runs `body` in a child process whose standard output and error go to
// files, and returns its exit status and texts. Tests that change the
// process (credentials, signals, descriptors) run their part there.
Outcome in_child(const std::function<int()> &body)
{
    std::string out = scratch("child.out"), err = scratch("child.err");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        close(o);
        close(e);
        int code = body();
        fflush(nullptr);
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {status, slurp(out), slurp(err)};
}

} // namespace

TEST(Runner, ReturnsTheRawWaitStatus)
{
    EXPECT_EQ(safe_system("exit 3"), 768);
    EXPECT_EQ(safe_system("true"), 0);
    EXPECT_EQ(safe_system("kill -9 $$"), 9);
    EXPECT_EQ(safe_system("exit 255"), 255 << 8);
}

TEST(Runner, NullCommandReturnsOneWithoutForking)
{
    static bool registered = false;
    if (!registered) {
        pthread_atfork(nullptr, count_fork, nullptr);
        registered = true;
    }
    int before = forks;
    EXPECT_EQ(safe_system(nullptr), 1);
    EXPECT_EQ(unpriv_system(nullptr, 99, 99), 1);
    EXPECT_EQ(forks, before);
    EXPECT_EQ(safe_system("true"), 0);
    EXPECT_EQ(forks, before + 1);  // the counter does see a real fork
}

TEST(Runner, CommandSeesOnlyTheTrustedEnvironment)
{
    setenv("LD_PRELOAD", "/nonexistent/evil.so", 1);
    setenv("PATH", "/caller/bin", 1);
    setenv("IFS", "x", 1);
    std::string file = scratch("environ");
    // The shell's own environment, exactly as execve handed it over.
    std::string cmd = "cat /proc/$$/environ > " + file;
    EXPECT_EQ(safe_system(cmd.c_str()), 0);
    static const char expected[] = "PATH=/usr/bin:/usr/sbin:/sbin:/bin\0SHELL=/bin/sh\0TERM=dumb\0";
    EXPECT_EQ(slurp(file), std::string(expected, sizeof expected - 1));
    unsetenv("LD_PRELOAD");
    unsetenv("IFS");

    file = scratch("path");
    cmd = "echo \"$PATH\" > " + file;
    EXPECT_EQ(unpriv_system(cmd.c_str(), 99, 99), 0);
    EXPECT_EQ(slurp(file), "/usr/bin:/usr/sbin:/sbin:/bin\n");
}

TEST(Runner, UnprivSystemLowersGroupThenUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    std::string file = scratch("ids");
    std::string cmd = "id -u > " + file + "; id -g >> " + file + "; id -G >> " + file;
    EXPECT_EQ(unpriv_system(cmd.c_str(), 99, 99), 0);
    // With uid and gid 0 nothing is changed: the command runs as the caller.
    EXPECT_EQ(slurp(file), "99\n99\n99\n");
    EXPECT_EQ(unpriv_system(cmd.c_str(), 0, 0), 0);
    EXPECT_EQ(slurp(file).substr(0, 4), "0\n0\n");
    // Only the group lowered.
    EXPECT_EQ(unpriv_system(cmd.c_str(), 0, 99), 0);
    EXPECT_EQ(slurp(file).substr(0, 5), "0\n99\n");
}

TEST(Runner, ChildFailuresArePrefixedWithTheRunnersName)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    // As an ordinary user, the child can change neither group nor user.
    auto as_user = [](const std::function<int()> &body) {
        return in_child([&] {
            if (setgroups(0, nullptr) != 0 || setresgid(99, 99, 99) != 0 || setresuid(99, 99, 99) != 0)
                return 100;
            return body();
        });
    };
    Outcome gid = as_user([] { return WEXITSTATUS(unpriv_system("echo ran", 98, 98)); });
    EXPECT_EQ(WEXITSTATUS(gid.status), 127);
    EXPECT_EQ(gid.err, "unpriv_system: Couldn't setgid: Operation not permitted\n");
    EXPECT_EQ(gid.out, "");

    Outcome uid = as_user([] { return WEXITSTATUS(unpriv_system("echo ran", 98, 0)); });
    EXPECT_EQ(WEXITSTATUS(uid.status), 127);
    EXPECT_EQ(uid.err, "unpriv_system: Couldn't setuid: Operation not permitted\n");

    Outcome named = as_user([] { return WEXITSTATUS(system_core("echo ran", 0, 98, "graphwipe")); });
    EXPECT_EQ(named.err, "graphwipe: Couldn't setgid: Operation not permitted\n");
}

TEST(Runner, FailedChildDoesNotRepeatTheCallersBufferedOutput)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    Outcome o = in_child([] {
        if (setgroups(0, nullptr) != 0 || setresgid(99, 99, 99) != 0 || setresuid(99, 99, 99) != 0)
            return 100;
        printf("Starting...");  // still in the stdio buffer at the fork
        unpriv_system("true", 98, 98);
        printf("Done\n");
        return 0;
    });
    EXPECT_EQ(o.out, "Starting...Done\n");
}

TEST(Runner, StatusSurvivesACallerThatIgnoredSigchld)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    Outcome o = in_child([] {
        signal(SIGCHLD, SIG_IGN);
        if (!initsetuid())
            return 100;
        printf("%d %d", safe_system("exit 3"), safe_system("kill -9 $$"));
        return 0;
    });
    EXPECT_EQ(WEXITSTATUS(o.status), 0);
    EXPECT_EQ(o.out, "768 9");
}

TEST(Runner, WaitsForTheCommandToEnd)
{
    std::string file = scratch("late");
    std::string cmd = "sleep 0.2; echo done > " + file;
    EXPECT_EQ(safe_system(cmd.c_str()), 0);
    EXPECT_EQ(slurp(file), "done\n");
}

// A caller that stops reading, its pipe blocking or not: the command ends
// after the bound, the helper's own text returns at once, the flags stay.
TEST(Runner, ACallerThatStopsReadingHoldsUpNothing)
{
    for (int flags : {0, O_NONBLOCK}) {
        Outcome o = in_child([flags] {
            int full[2];
            if (pipe2(full, O_NONBLOCK) != 0 || dup2(full[1], 1) != 1)
                return 100;
            while (write(1, "x", 1) == 1) {
            }
            fcntl(1, F_SETFL, flags);
            time_t begun = time(nullptr);
            bool ended = safe_system("echo lost; exit 3") == 768;
            time_t took = time(nullptr) - begun;
            tellcaller(1, "Done\n");
            bool kept = (fcntl(1, F_GETFL) & O_NONBLOCK) == flags;
            return ended && kept && time(nullptr) - begun - took <= 1 ? static_cast<int>(took) : 99;
        });
        EXPECT_TRUE(WEXITSTATUS(o.status) >= 4 && WEXITSTATUS(o.status) <= 6) << WEXITSTATUS(o.status);
    }
}

// A service lock held past the wait: 75 and the message, and the lock is
// not taken. The helpers wait five minutes; this waits one second, in a
// /run of its own.
TEST(ServiceLock, WaitsAtMostItsLimitThenGivesUp)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    Outcome o = in_child([] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/run", "tmpfs", 0, "mode=0755") != 0)
            return 100;
        if (lockservice("spamd") != 0 || lockservice("havp", 1) != 0)
            return 101;
        time_t before = time(nullptr);
        int busy = lockservice("spamd", 1);
        struct stat dir;
        if (stat("/run/korvane", &dir) != 0 || (dir.st_mode & 07777) != 0700)
            return 102;
        return busy == 75 ? 10 + static_cast<int>(time(nullptr) - before) : busy;
    });
    EXPECT_TRUE(WEXITSTATUS(o.status) == 11 || WEXITSTATUS(o.status) == 12) << WEXITSTATUS(o.status);
    EXPECT_EQ(o.err, "Another action on spamd is still running.\n");
}

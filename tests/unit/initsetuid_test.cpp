// Privilege set-up in a child process of the test (it changes the whole
// process: signals, descriptors, credentials). Started as root here; the
// set-user-ID path itself is covered end to end in the sandbox appliance.
#include "setuid.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace {

// Runs `body` in a child; its exit code is the test's verdict (0 = good,
// anything else names the failing check).
int child_verdict(const std::function<int()> &body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

bool is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

} // namespace

TEST(Initsetuid, LeavesOnlyStandardDescriptorsAndReopensClosedOnes)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    EXPECT_EQ(child_verdict([] {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 5);
        dup2(null, 200);
        // Opened above the soft limit, which is then lowered below it.
        struct rlimit rl;
        getrlimit(RLIMIT_NOFILE, &rl);
        if (rl.rlim_cur > 1000 && dup2(null, 1000) != 1000)
            return 1;
        rl.rlim_cur = 64;
        setrlimit(RLIMIT_NOFILE, &rl);
        close(0);
        close(2);
        if (initsetuid() != 1)
            return 2;
        if (is_open(5) || is_open(200) || is_open(1000) || is_open(null))
            return 3;
        struct stat st, devnull;
        stat("/dev/null", &devnull);
        for (int fd : {0, 2}) {
            if (fstat(fd, &st) != 0 || st.st_rdev != devnull.st_rdev)
                return 4;
        }
        return 0;
    }), 0);
}

TEST(Initsetuid, SetsSignalsCredentialsCoreLimitAndMask)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    EXPECT_EQ(child_verdict([] {
        signal(SIGCHLD, SIG_IGN);
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_SETMASK, &all, nullptr);
        umask(0);
        if (chdir(KORVANE_SCRATCH) != 0)
            return 10;
        gid_t extra[] = {4, 100};
        setgroups(2, extra);
        if (initsetuid() != 1)
            return 1;
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGUSR1, SIGRTMAX}) {
            struct sigaction sa;
            sigaction(sig, nullptr, &sa);
            if (sa.sa_handler != SIG_IGN)
                return 2;
        }
        struct sigaction chld;
        sigaction(SIGCHLD, nullptr, &chld);
        if (chld.sa_handler != SIG_DFL)
            return 3;
        if (getgroups(0, nullptr) != 0)
            return 4;
        uid_t r, e, s;
        gid_t gr, ge, gs;
        getresuid(&r, &e, &s);
        getresgid(&gr, &ge, &gs);
        if (r || e || s || gr || ge || gs)
            return 5;
        struct rlimit core;
        getrlimit(RLIMIT_CORE, &core);
        if (core.rlim_cur != 0 || core.rlim_max != 0)
            return 6;
        if (umask(0) != 022)
            return 7;
        sigset_t blocked;
        sigprocmask(SIG_SETMASK, nullptr, &blocked);
        if (!sigisemptyset(&blocked))
            return 8;
        char cwd[64];
        if (getcwd(cwd, sizeof cwd) == nullptr || std::string(cwd) != "/")
            return 9;
        return 0;
    }), 0);
}

TEST(Initsetuid, FailsWithItsMessageWithoutRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    int verdict = child_verdict([&] {
        dup2(pipefd[1], 2);
        close(pipefd[0]);
        close(pipefd[1]);
        if (setgroups(0, nullptr) != 0 || setresgid(99, 99, 99) != 0 || setresuid(99, 99, 99) != 0)
            return 9;
        return initsetuid() == 0 ? 0 : 1;
    });
    close(pipefd[1]);
    char buf[256] = {0};
    ssize_t n = read(pipefd[0], buf, sizeof buf - 1);
    close(pipefd[0]);
    EXPECT_EQ(verdict, 0);
    ASSERT_GT(n, 0);
    EXPECT_STREQ(buf, "Couldn't clear group list: Operation not permitted\n");
}

#include "syslog_listener.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

static int logsock = -1;

static void die(const char *what)
{
    fprintf(stderr, "syslog listener: %s: %s\n", what, strerror(errno));
    exit(2);
}

// Everything below happens only inside this process's own mount
// namespace; a failure ends the program before any test runs.
static void startlistener()
{
    if (unshare(CLONE_NEWNS) != 0)
        die("unshare(CLONE_NEWNS)");
    if (mount("none", "/", "none", MS_REC | MS_PRIVATE, NULL) != 0)
        die("making / private");
    if (mount("plugtestdev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "size=64k,mode=755") != 0)
        die("mounting /dev");
    if (mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0)
        die("making /dev/null");

    logsock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (logsock < 0)
        die("socket");
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (bind(logsock, (struct sockaddr *)&addr, sizeof addr) != 0)
        die("binding /dev/log");

    // As the proxy would: its own identity and facility.
    openlog("plugtest", 0, LOG_LOCAL1);
}

std::vector<LogLine> takelog()
{
    std::vector<LogLine> lines;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(logsock, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0)
            break;
        LogLine line;
        line.raw.assign(buf, n);
        line.priority = -1;
        if (line.raw.size() > 2 && line.raw[0] == '<')
            line.priority = (int)strtol(line.raw.c_str() + 1, nullptr, 10);
        size_t at = line.raw.find("plugtest: ");
        line.text = at == std::string::npos ? line.raw : line.raw.substr(at + 10);
        lines.push_back(line);
    }
    return lines;
}

namespace {
class SyslogEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { startlistener(); }
};
const ::testing::Environment *const syslogenv =
    ::testing::AddGlobalTestEnvironment(new SyslogEnvironment);
}  // namespace

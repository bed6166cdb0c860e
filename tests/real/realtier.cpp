#include "realtier.h"

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <stdexcept>

namespace realtier {

namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + strerror(errno));
}

double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

void private_network()
{
    if (unshare(CLONE_NEWNET) != 0)
        fail("unshare(CLONE_NEWNET)");
    appliance::Result up = as_root({"/bin/ip", "link", "set", "lo", "up"});
    if (up.status != 0)
        throw std::runtime_error("ip link set lo up: " + up.err);
}

appliance::Result as_root(const std::vector<std::string> &argv, const std::string &input)
{
    appliance::Start start;
    start.args.assign(argv.begin() + 1, argv.end());
    start.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C"};
    start.uid = 0;
    start.gid = 0;
    start.groups = {0};
    start.stdin_text = input;
    return appliance::run(argv[0], start);
}

SystemLog::SystemLog() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    if (fd_ < 0)
        fail("socket");
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    unlink(addr.sun_path);
    if (bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd_);
        fail("bind /dev/log");
    }
}

SystemLog::~SystemLog()
{
    close(fd_);
}

void SystemLog::drain()
{
    char buf[8192];
    ssize_t n;
    while ((n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
        lines_.emplace_back(buf, static_cast<size_t>(n));
}

const std::vector<std::string> &SystemLog::lines()
{
    drain();
    return lines_;
}

std::vector<std::string> SystemLog::tagged(const std::string &tag)
{
    std::vector<std::string> out;
    for (const std::string &line : lines()) {
        // "<PRI>Mmm dd hh:mm:ss TAG: message": the tag follows the stamp.
        size_t at = line.find(' ' + tag);
        if (at == std::string::npos)
            continue;
        size_t after = at + 1 + tag.size();
        if (line.compare(after, 2, ": ") == 0)
            out.push_back(line.substr(after + 2));
        else if (line.compare(after, 1, "[") == 0 && line.find("]: ", after) != std::string::npos)
            out.push_back(line.substr(line.find("]: ", after) + 3));
    }
    return out;
}

bool eventually(const std::function<bool()> &done, double seconds,
                const std::function<void()> &between)
{
    double deadline = now() + seconds;
    for (;;) {
        if (between)
            between();
        if (done())
            return true;
        if (now() > deadline)
            return false;
        struct timespec pause = {0, 50L * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

} // namespace realtier

#include "realtier.h"

#include <errno.h>
#include <sched.h>
#include <string.h>
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

// Shared by the tests against the machine's own outside programs (squid,
// iptables, ucarp, logger): a private network namespace, root commands of
// the test's own, a system-log socket, and waiting for a daemon to act.
// Only meaningful inside tools/sandbox/appliance.
#ifndef KORVANE_TESTS_REALTIER_H
#define KORVANE_TESTS_REALTIER_H

#include "appliance.h"

#include <functional>
#include <string>
#include <vector>

namespace realtier {

// Moves this process into a network namespace of its own in which only
// the loopback interface exists, up. Everything it starts afterwards
// shares that namespace; nothing reaches the machine's own network.
void private_network();

// Runs argv[0] (an absolute path) as root with `input` on its standard
// input: the test's own set-up and checks, never the program under test.
appliance::Result as_root(const std::vector<std::string> &argv, const std::string &input = "");

// A system-log socket: a datagram socket bound at /dev/log of the mount
// namespace current when it is made (the sandbox's own small /dev).
class SystemLog {
public:
    SystemLog();
    ~SystemLog();
    SystemLog(const SystemLog &) = delete;
    SystemLog &operator=(const SystemLog &) = delete;
    // Reads what has arrived, so that senders never wait for room; every
    // datagram since the log was made is kept.
    void drain();
    const std::vector<std::string> &lines();
    // The lines sent with this tag ("TAG: message" or "TAG[pid]: message").
    std::vector<std::string> tagged(const std::string &tag);

private:
    int fd_;
    std::vector<std::string> lines_;
};

// Calls `done` every 50 ms until it returns true (then true) or until
// `seconds` have passed (then false). `between` runs before each try.
bool eventually(const std::function<bool()> &done, double seconds,
                const std::function<void()> &between = nullptr);

} // namespace realtier

#endif

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

using appliance::SystemLog;

// Calls `done` every 50 ms until it returns true (then true) or until
// `seconds` have passed (then false). `between` runs before each try.
bool eventually(const std::function<bool()> &done, double seconds,
                const std::function<void()> &between = nullptr);

} // namespace realtier

#endif

// The system log as the tests see it: a datagram socket at /dev/log in a
// private mount namespace with a small /dev of its own, so the host's /dev
// is never touched. The listener is set up once, before the first test;
// the process's log identity is "plugtest" and its facility LOG_LOCAL1.
#ifndef TESTS_PLUGINS_SYSLOG_LISTENER_H
#define TESTS_PLUGINS_SYSLOG_LISTENER_H

#include <string>
#include <vector>

struct LogLine
{
    int priority;      // the <N> at the start of the datagram, -1 if absent
    std::string text;  // the message after "plugtest: ", newline included
    std::string raw;   // the whole datagram
};

// The lines received since the last call (or since the listener started).
std::vector<LogLine> takelog();

#endif

// rulepass: runs one iptables command as root. The single argument holds
// the whole option list (chain, match, target), which the shell splits at
// blanks into iptables' arguments.
#include "setuid.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

char command[1024];

namespace {

// As if formatted with a limit of 1023: at most 1022 characters.
const size_t kLimit = sizeof command - 1;

// What an iptables option list needs (names, addresses, networks, ports,
// ranges, negation, marks), and nothing the shell gives a meaning to
// beyond splitting words at blanks.
int acceptable(const char *options)
{
    for (const char *p = options; *p; p++) {
        char c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            continue;
        if (c == ' ' || c == '\t' || strchr("-_.,:/=+!@%", c) != nullptr)
            continue;
        return 0;
    }
    return 1;
}

// The caller learns how the rule change went: iptables' own exit code,
// 128 plus the signal that killed it, or 1 when it could not be run.
int exitstatus(int status)
{
    if (status == -1)
        return 1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!initsetuid())
        exit(1);

    if (argc != 2)
        exit(1);

    // Refused before anything runs: shell syntax, and a line that would
    // be cut (a cut rule is a different rule).
    command[0] = '\0';
    strlcat(command, "/sbin/iptables ", kLimit);
    if (!acceptable(argv[1]) || strlcat(command, argv[1], kLimit) >= kLimit) {
        fputs("\nInvalid iptables arguments given.\n\n", stderr);
        exit(1);
    }

    return exitstatus(safe_system(command));
}

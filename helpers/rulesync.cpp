// rulesync: runs the firewall-rules script as root, with "-c" when that is
// exactly the first argument. Further arguments are ignored. The exit
// status is the script's.
#include "setuid.h"

#include <stdlib.h>
#include <string.h>

int main(int argc, char *argv[])
{
    if (!initsetuid())
        exit(1);
    // One run of the rules script at a time.
    int busy = lockservice("tessrules");
    if (busy != 0)
        exit(busy);

    // The script runs under the trusted environment like every other root
    // command: a Perl script handed the caller's PERL5OPT, PERL5LIB or PATH
    // would run the caller's code as root.
    if (argc >= 2 && strcmp(argv[1], "-c") == 0)
        return commandstatus(safe_system("/usr/local/bin/tessrules.pl -c"));
    return commandstatus(safe_system("/usr/local/bin/tessrules.pl"));
}

// proxyreload: makes the running web proxy re-read its configuration when
// the proxy is enabled on either interface. Arguments are not examined.
// The exit status is the reload's: 0 when it worked or was not needed.
#include "setuid.h"

#include <stdlib.h>

int main()
{
    if (!initsetuid())
        exit(1);

    // Both flags are always tested; either one is enough, and the reload
    // runs at most once.
    int green = flagexists("/var/korvane/proxy/enable");
    int blue = flagexists("/var/korvane/proxy/enable_blue");
    if (!green && !blue)
        return 0;

    // One reload at a time.
    int busy = lockservice("squid");
    if (busy != 0)
        return busy;
    return commandstatus(safe_system("/usr/sbin/squid -k reconfigure >/dev/null 2>/dev/null"));
}

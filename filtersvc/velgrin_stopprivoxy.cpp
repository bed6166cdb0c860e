// velgrin_stopprivoxy: stops privoxy, whether it is enabled or not.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/opt/privoxy/etc/init.d/velgrin_privoxy stop weboutput");
}

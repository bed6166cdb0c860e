// velgrin_stopfrox: stops frox, whether it is enabled or not.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/opt/frox/etc/init.d/velgrin_frox stop weboutput");
}

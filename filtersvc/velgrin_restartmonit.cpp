// velgrin_restartmonit: stops monit, and starts it again when it is enabled;
// a disabled monit is left stopped.
#include "controller.h"

int main()
{
    return restartservice("/var/log/velgrin/default/etc/monit_enable",
                          "/var/log/velgrin/default/opt/monit/etc/init.d/velgrin_monit stop weboutput",
                          "/var/log/velgrin/default/opt/monit/etc/init.d/velgrin_monit start weboutput");
}

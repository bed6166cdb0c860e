// velgrin_restartproxsmtpd_debug: stops proxsmtpd and, when it is enabled,
// brings it back up with the init script's "debug" action instead of "start".
#include "controller.h"

int main()
{
    return restartservice("/var/log/velgrin/default/etc/proxsmtpd_enable",
                          "/var/log/velgrin/default/opt/proxsmtp/etc/init.d/velgrin_proxsmtpd stop weboutput",
                          "/var/log/velgrin/default/opt/proxsmtp/etc/init.d/velgrin_proxsmtpd debug weboutput");
}

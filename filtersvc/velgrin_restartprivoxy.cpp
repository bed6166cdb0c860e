// velgrin_restartprivoxy: stops privoxy, and starts it again when it is enabled;
// a disabled privoxy is left stopped.
#include "controller.h"

int main()
{
    return restartservice("/var/log/velgrin/default/etc/privoxy_enable",
                          "/var/log/velgrin/default/opt/privoxy/etc/init.d/velgrin_privoxy stop weboutput",
                          "/var/log/velgrin/default/opt/privoxy/etc/init.d/velgrin_privoxy start weboutput");
}

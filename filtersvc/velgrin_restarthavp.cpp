// velgrin_restarthavp: stops havp, and starts it again when it is enabled;
// a disabled havp is left stopped.
#include "controller.h"

int main()
{
    return restartservice("/var/log/velgrin/default/etc/havp_enable",
                          "/var/log/velgrin/default/opt/havp/etc/init.d/velgrin_havp stop weboutput",
                          "/var/log/velgrin/default/opt/havp/etc/init.d/velgrin_havp start weboutput");
}

// velgrin_restartclamd: stops clamd, and starts it again when it is enabled;
// a disabled clamd is left stopped.
#include "controller.h"

int main()
{
    return restartservice("/var/log/velgrin/default/etc/clamd_enable",
                          "/var/log/velgrin/default/opt/clamav/etc/init.d/velgrin_clamd stop weboutput",
                          "/var/log/velgrin/default/opt/clamav/etc/init.d/velgrin_clamd start weboutput");
}

// velgrin_restartp3scan: stops p3scan, and starts it again when it is enabled;
// a disabled p3scan is left stopped.
#include "controller.h"

int main()
{
    return restartservice("/var/log/velgrin/default/etc/p3scan_enable",
                          "/var/log/velgrin/default/opt/p3scan/etc/init.d/velgrin_p3scan stop weboutput",
                          "/var/log/velgrin/default/opt/p3scan/etc/init.d/velgrin_p3scan start weboutput");
}

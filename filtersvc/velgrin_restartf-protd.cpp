// velgrin_restartf-protd: stops f-protd, and starts it again when it is enabled;
// a disabled f-protd is left stopped.
#include "controller.h"

int main()
{
    return restartservice("/var/log/velgrin/default/etc/fprotd_enable",
                          "/var/log/velgrin/default/opt/f-prot/etc/init.d/velgrin_f-protd stop weboutput",
                          "/var/log/velgrin/default/opt/f-prot/etc/init.d/velgrin_f-protd start weboutput");
}

// velgrin_stopp3scan: stops p3scan, whether it is enabled or not.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/opt/p3scan/etc/init.d/velgrin_p3scan stop weboutput");
}

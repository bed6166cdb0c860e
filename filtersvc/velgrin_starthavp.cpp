// velgrin_starthavp: starts havp, whether it is enabled or not.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/opt/havp/etc/init.d/velgrin_havp start weboutput");
}

// velgrin_stopmonit: stops monit, whether it is enabled or not.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/opt/monit/etc/init.d/velgrin_monit stop weboutput");
}

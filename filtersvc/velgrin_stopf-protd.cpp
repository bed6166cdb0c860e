// velgrin_stopf-protd: stops f-protd, whether it is enabled or not.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/opt/f-prot/etc/init.d/velgrin_f-protd stop weboutput");
}

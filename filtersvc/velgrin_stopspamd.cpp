// velgrin_stopspamd: stops spamd, whether it is enabled or not.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/opt/mail-spamassassin/etc/init.d/velgrin_spamd stop weboutput");
}

// velgrin_restartspamd: stops spamd, and starts it again when it is enabled;
// a disabled spamd is left stopped.
#include "controller.h"

int main()
{
    return restartservice("/var/log/velgrin/default/etc/spamd_enable",
                          "/var/log/velgrin/default/opt/mail-spamassassin/etc/init.d/velgrin_spamd stop weboutput",
                          "/var/log/velgrin/default/opt/mail-spamassassin/etc/init.d/velgrin_spamd start weboutput");
}

// velgrin_startproxsmtpd: starts proxsmtpd, whether it is enabled or not.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/opt/proxsmtp/etc/init.d/velgrin_proxsmtpd start weboutput");
}

// velgrin_sendtestvirus: runs the content filter's send_virus_mail.sh script.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/tests/virus/send_virus_mail.sh");
}

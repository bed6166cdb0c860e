// velgrin_sendexeattachment: runs the content filter's send_exe_file_mail.sh script.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/tests/virus/send_exe_file_mail.sh");
}

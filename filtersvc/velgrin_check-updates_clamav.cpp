// velgrin_check-updates_clamav: runs the content filter's check-updates_clamav.sh script.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/opt/tools/bin/check-updates_clamav.sh");
}

// velgrin_check-updates_avg: runs the content filter's check-updates_avg.sh script.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/opt/tools/bin/check-updates_avg.sh");
}

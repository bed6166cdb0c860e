// velgrin_add_to_list: runs the content filter's add_to_list.sh script.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/opt/tools/bin/add_to_list.sh");
}

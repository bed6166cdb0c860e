// velgrin_make_test: runs the content filter's test suite; the suite's error
// output is joined to its standard output.
#include "controller.h"

int main()
{
    return runcommand("/var/log/velgrin/default/tests/make_all_tests.sh weboutput 2>&1");
}

// graphwipe: deletes what the traffic graphs keep for one graph: its
// round-robin database, its graph log and its rendered images, in that
// order. Only the first argument, the graph's name, is used.
#include "setuid.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

char command[1024];

namespace {

// Each command line is bounded as if formatted with a limit of 1023: at
// most 1022 characters and the terminator.
const size_t kLimit = sizeof command - 1;

// The three command lines, each split where the graph's name goes. The
// name is quoted as one shell word; the images' own "-*.png" stays outside
// the quotes, so that glob still expands and nothing in the name does.
const char *const kTemplates[3][2] = {
    {"/bin/rm /var/log/rrd/", ".rrd > /dev/null"},
    {"/bin/rm /var/log/grevik/", ".log > /dev/null"},
    {"/bin/rm /home/httpd/html/graphs/", "-*.png > /dev/null"},
};

// Builds command line `which` for `name` into `command`. Returns 1 when
// the whole line fits, 0 when it would have been cut.
int buildcommand(int which, const char *name)
{
    command[0] = '\0';
    if (strlcat(command, kTemplates[which][0], kLimit) >= kLimit)
        return 0;
    if (strlcatquote(command, name, kLimit) >= kLimit)
        return 0;
    return strlcat(command, kTemplates[which][1], kLimit) < kLimit;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!initsetuid())
        exit(1);

    if (argc < 2) {
        fputs("\nNo argument given.\n\ngraphwipe (graph name)\n\n", stderr);
        exit(1);
    }

    // A graph's files all sit directly in their directories, and a graph
    // has a name: the empty one would match files of no graph (every image
    // beginning with a hyphen). A name that does not fit every line is
    // refused before anything runs: a cut line would delete some other
    // file than the one meant.
    const char *name = argv[1];
    int fits = name[0] != '\0' && strchr(name, '/') == nullptr;
    for (int i = 0; i < 3 && fits; i++)
        fits = buildcommand(i, name);
    if (!fits) {
        fputs("\nInvalid graph name given.\n\n", stderr);
        exit(1);
    }

    // A missing file does not stop the others; rm's complaints reach the
    // caller's standard error.
    for (int i = 0; i < 3; i++) {
        buildcommand(i, name);
        safe_system(command);
    }
    return 0;
}

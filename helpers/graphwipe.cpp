// graphwipe: deletes what the traffic graphs keep for one graph: its
// round-robin database, its graph log and its rendered images, in that
// order. Only the first argument, the graph's name, is used. The exit
// status says whether the graph's files are gone: 0 when none is left,
// else the exit code of the first deletion that left one, or 1.
#include "setuid.h"

#include <stdio.h>
#include <stdlib.h>
#include <dirent.h>
#include <string.h>
#include <sys/stat.h>

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

// Whether a file that deletion `which` was meant for is still there. The
// images are found as the shell's glob finds them: every name in the
// directory that begins with the graph's name and a hyphen and ends in
// ".png".
bool leftover(int which, const char *name)
{
    const char *dir = kTemplates[which][0] + strlen("/bin/rm ");
    char path[sizeof command];
    memset(path, 0, sizeof path);
    strlcat(path, dir, sizeof path);
    strlcat(path, name, sizeof path);
    if (which < 2) {
        struct stat st;
        strlcat(path, which == 0 ? ".rrd" : ".log", sizeof path);
        return lstat(path, &st) == 0;
    }
    DIR *images = opendir(dir);
    if (images == nullptr)
        return false;
    size_t length = strlen(name);
    bool found = false;
    for (struct dirent *entry; !found && (entry = readdir(images)) != nullptr;) {
        size_t size = strlen(entry->d_name);
        found = size >= length + 5 && strncmp(entry->d_name, name, length) == 0 &&
                entry->d_name[length] == '-' && strcmp(entry->d_name + size - 4, ".png") == 0;
    }
    closedir(images);
    return found;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!initsetuid())
        exit(1);

    if (argc < 2) {
        auditrefusal("No argument given.", nullptr);
        tellcaller(2, "\nNo argument given.\n\ngraphwipe (graph name)\n\n");
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
        auditrefusal("Invalid graph name given.", name);
        tellcaller(2, "\nInvalid graph name given.\n\n");
        exit(1);
    }

    // A missing file does not stop the others; rm's complaints reach the
    // caller's standard error. Only files still there afterwards make a
    // failure: a graph without a log or images is wiped all the same.
    int status[3];
    for (int i = 0; i < 3; i++) {
        buildcommand(i, name);
        status[i] = commandstatus(safe_system(command));
    }
    for (int i = 0; i < 3; i++) {
        if (leftover(i, name))
            return status[i] != 0 ? status[i] : 1;
    }
    return 0;
}

// reportpurge: deletes one saved report backup from /var/log/sarg/backup.
// The file's name is the only argument; nothing is printed. The exit
// status says whether the backup is gone: 0 when it is (or never was),
// else rm's exit code, or 1.
#include "setuid.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

const char kDir[] = "/var/log/sarg/backup/";
const char kStart[] = "rm -f /var/log/sarg/backup/";
const char kEnd[] = " >/dev/null 2>&1";

// The longest name accepted. The name reaches rm quoted as one shell word,
// so the buffer holds the fixed pieces and the longest quoted form of such
// a name: two quotes, and each single quote written as four bytes.
const size_t kMaxName = 56;
const size_t kCommandSize = sizeof kStart - 1 + 2 + 4 * kMaxName + sizeof kEnd - 1 + 1;

// A name is taken only as a file inside the backup directory: no further
// path components, no way up or to the directory itself.
int acceptable(const char *name)
{
    if (strchr(name, '/') != nullptr)
        return 0;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return 0;
    return strlen(name) <= kMaxName;
}

} // namespace

int main(int argc, char *argv[])
{
    char command[kCommandSize];
    memset(command, 0, sizeof command);

    if (!initsetuid())
        exit(1);

    if (argc <= 1) {
        auditrefusal("No argument given.", nullptr);
        tellcaller(2, "\nNo argument given.\n\nreportpurge (filename to delete)\n\n");
        exit(1);
    }
    if (argc > 2) {
        auditrefusal("Too many arguments given.", nullptr);
        tellcaller(2, "\nToo many arguments given.\n\n");
        exit(1);
    }
    if (!acceptable(argv[1])) {
        auditrefusal("Invalid filename given.", argv[1]);
        tellcaller(2, "\nInvalid filename given.\n\n");
        exit(1);
    }

    // The name is one literal operand of rm: no splitting, no globbing, no
    // shell syntax. The empty name leaves rm the directory itself, which
    // it refuses silently.
    strlcat(command, kStart, sizeof command);
    strlcatquote(command, argv[1], sizeof command);
    strlcat(command, kEnd, sizeof command);

    int status = commandstatus(safe_system(command));

    // rm -f is silent either way, so whether the deletion happened is
    // asked of the directory: the backup (or whatever stands under its
    // name) must be gone. The empty name names no backup: nothing to do.
    char path[sizeof kDir + kMaxName];
    memset(path, 0, sizeof path);
    strlcat(path, kDir, sizeof path);
    strlcat(path, argv[1], sizeof path);
    struct stat st;
    if (argv[1][0] == '\0' || lstat(path, &st) != 0)
        exit(0);
    exit(status != 0 ? status : 1);
}

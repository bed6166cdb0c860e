// failswitch: starts and stops the ucarp failover daemon for the failover
// page. "start" runs the daemon with the eight settings the page passes,
// when the failover service is enabled, and records the daemon's pid;
// "stop" kills the recorded daemon and runs the down script.
#include "setuid.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

const char kEnableFlag[] = "/var/korvane/ucarp/settings/enable";
const char kPidFile[] = "/var/run/ucarp.pid";

const char kPrefix[] = "/usr/local/sbin/ucarp -B -P"
                       " --downscript=/var/korvane/ucarp/bin/down.sh"
                       " --upscript=/var/korvane/ucarp/bin/up.sh"
                       " --interface=";

// The options that follow the interface, one per value at positions 3 to 9.
const char *const kOptions[] = {
    " --srcip=", " --vhid=", " --addr=", " --advbase=", " --advskew=", " --deadratio=", " --pass=",
};

const char kUsage[] = "failswitch (start|stop)\n\n";

// Every ucarp the shell can see, into the pid file.
const char kCapture[] = "/bin/ps -A|/bin/grep -w ucarp|/bin/grep -v failswitch|"
                        "/bin/grep -v vipadmin.cgi|/usr/bin/awk {'print $1'} >/var/run/ucarp.pid";
// How often, and how far apart, the capture may be repeated.
const int kCaptureTries = 20;
const long kCaptureGapNs = 100L * 1000 * 1000;

// Characters that mean nothing to the shell inside a word. A value made
// only of these (addresses, interface names, numbers) goes onto the line as
// it is; anything else is quoted, so that every value stays one word of
// the daemon's command line, whatever it holds.
bool plainword(const char *value)
{
    for (const char *p = value; *p; p++) {
        if (!strchr("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-:/@%+,=", *p))
            return false;
    }
    return true;
}

// Appends one caller's value; returns the length the line would have.
size_t appendvalue(char *line, const char *value, size_t size)
{
    if (plainword(value))
        return strlcat(line, value, size);
    return strlcatquote(line, value, size);
}

// Builds the daemon's command line from argv[2] to argv[9]. Returns 0 when
// the finished line (with its terminator) would not fit in `size` bytes;
// the line is then unusable and must not be run.
int buildcommand(char *line, size_t size, char **argv)
{
    line[0] = '\0';
    if (strlcat(line, kPrefix, size) >= size)
        return 0;
    if (appendvalue(line, argv[2], size) >= size)
        return 0;
    for (int i = 0; i < 7; i++) {
        if (strlcat(line, kOptions[i], size) >= size)
            return 0;
        if (appendvalue(line, argv[3 + i], size) >= size)
            return 0;
    }
    return 1;
}

// What the last capture wrote (cut to the buffer), for comparing two.
void readcapture(char *buf, size_t size)
{
    size_t used = 0;
    int fd = open(kPidFile, O_RDONLY | O_CLOEXEC);
    if (fd != -1) {
        ssize_t n;
        while (used < size - 1 && (n = read(fd, buf + used, size - 1 - used)) > 0)
            used += static_cast<size_t>(n);
        close(fd);
    }
    buf[used] = '\0';
}

// ucarp goes to the background in two steps (a fork, a new session, a
// second fork), and the process its command line leaves behind may still
// be between them when the capture looks: the pid file would then name a
// process that is about to end instead of the daemon, and a stop would
// leave the daemon running. So the capture is repeated, a moment apart,
// until two in a row find the same processes.
void capturepids()
{
    char previous[512];
    char current[512];
    safe_system(kCapture);
    readcapture(previous, sizeof previous);
    for (int i = 1; i < kCaptureTries; i++) {
        struct timespec gap = {0, kCaptureGapNs};
        nanosleep(&gap, nullptr);
        safe_system(kCapture);
        readcapture(current, sizeof current);
        if (strcmp(previous, current) == 0)
            return;
        memcpy(previous, current, sizeof previous);
    }
}

int startdaemon(int argc, char **argv, char *command, size_t size)
{
    if (!flagexists(kEnableFlag))
        return 0;

    if (argc <= 9) {
        fputs("\nnot enough arguments given.\n\n", stderr);
        exit(1);
    }

    // Refused before anything is written or run: a cut line would start
    // the daemon with settings nobody asked for.
    if (!buildcommand(command, size, argv)) {
        fputs("\nArguments too long.\n\n", stderr);
        exit(1);
    }

    // Both progress texts stay in the stdout buffer and leave together at
    // the end, after whatever the commands print.
    fputs("Starting ucarpd................", stdout);
    safe_system(command);
    safe_system("/usr/bin/logger -t korvane 'ucarp-Server has been started'");
    capturepids();
    fputs("Done\n", stdout);
    return 0;
}

int stopdaemon()
{
    if (!flagexists(kPidFile))
        return 0;

    fputs("Stopping ucarpd................", stdout);
    safe_system("kill -9 `cat /var/run/ucarp.pid`");
    safe_system("/bin/rm /var/run/ucarp.pid");
    safe_system("/var/korvane/ucarp/bin/down.sh stop>/dev/null 2>&1");
    safe_system("/usr/bin/logger -t korvane 'ucarp-Server has been stopped'");
    fputs("Done\n", stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    char command[500];
    memset(command, 0, sizeof command);

    if (!initsetuid())
        exit(1);

    if (argc <= 1) {
        fprintf(stderr, "\nNo argument given.\n\n%s", kUsage);
        exit(1);
    }

    if (strcmp(argv[1], "start") == 0)
        return startdaemon(argc, argv, command, sizeof command);

    if (strcmp(argv[1], "stop") == 0)
        return stopdaemon();

    fprintf(stderr, "\nBad argument given.\n\n%s", kUsage);
    exit(1);
}

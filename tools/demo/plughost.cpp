// The demonstration host: loads a logging plugin through plugloader the way
// the instant-messaging proxy does, forwards a few calls, then tries a
// plugin that lacks an entry point and shows the line the system log
// received. Runs as root inside the sandbox appliance, which has a /dev of
// its own, so the host listens at /dev/log itself.
#include <plugloader/loggingplugin.h>

#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <vector>

#include "demotypes.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: plughost PLUGIN BROKEN-PLUGIN\n");
        return 2;
    }
    int log = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    unlink(addr.sun_path);
    if (log == -1 || bind(log, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        perror("plughost: /dev/log");
        return 1;
    }
    openlog("improxy", 0, LOG_DAEMON);

    Options options;
    options.name = "improxy";
    LoggingPlugin plugin;
    printf("   loadplugin(%s) = %d\n", argv[1], plugin.loadplugin(argv[1]));
    printf("   callinitloggingplugin = %d\n", plugin.callinitloggingplugin(options, false));
    printf("   details.pluginname = \"%s\"\n", plugin.details.pluginname.c_str());
    std::vector<imevent> events = {{"alice", "hello"}, {"bob", "hi alice"}};
    fflush(stdout);
    int logged = plugin.calllogevents(events);
    fflush(stdout);
    printf("   calllogevents = %d\n", logged);
    fflush(stdout);
    int closed = plugin.callcloseloggingplugin();
    fflush(stdout);
    printf("   callcloseloggingplugin = %d\n", closed);
    printf("   unloadplugin = %d\n", plugin.unloadplugin());

    LoggingPlugin broken;
    printf("   loadplugin(%s) = %d\n", argv[2], broken.loadplugin(argv[2]));
    char line[1024];
    ssize_t n = recv(log, line, sizeof line - 1, MSG_DONTWAIT);
    line[n > 0 ? n : 0] = '\0';
    printf("   system log received: %s", line);
    if (n <= 0 || line[n - 1] != '\n')
        printf("\n");
    printf("   unloadplugin = %d\n", broken.unloadplugin());
    return 0;
}

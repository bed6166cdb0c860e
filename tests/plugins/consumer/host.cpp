#include <plugloader/loggingplugin.h>

#include <stdio.h>

class Options {};
class imevent {};

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    LoggingPlugin plugin;
    if (!plugin.loadplugin(argv[1]))
        return 1;
    Options options;
    std::vector<imevent> events(3);
    int init = plugin.callinitloggingplugin(options, false);
    int logged = plugin.calllogevents(events);
    int closed = plugin.callcloseloggingplugin();
    plugin.unloadplugin();
    printf("%s %d %d %d\n", plugin.details.pluginname.c_str(), init, logged, closed);
    return 0;
}

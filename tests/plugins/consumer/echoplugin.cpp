#include <plugloader/loggingplugin.h>

#include <vector>

class imevent {};

extern "C" {
int initloggingplugin(loggingplugindetails &details, Options &, bool)
{
    details.pluginname = "echo logger";
    return 1;
}
int closeloggingplugin() { return 1; }
int logevents(std::vector<imevent> &events) { return (int)events.size(); }
}

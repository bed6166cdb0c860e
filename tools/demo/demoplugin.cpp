// A logging plugin for the demonstration: it names itself in the details
// record and writes each event it is handed to standard output.
#include <plugloader/loggingplugin.h>

#include <stdio.h>

#include "demotypes.h"

extern "C" {

int initloggingplugin(loggingplugindetails &details, Options &options, bool debug)
{
    details.pluginname = "demo event logger";
    printf("   plugin: init (proxy %s, debug %s)\n", options.name.c_str(), debug ? "on" : "off");
    return 1;
}

int closeloggingplugin()
{
    printf("   plugin: close\n");
    return 1;
}

int logevents(std::vector<imevent> &events)
{
    for (const imevent &e : events)
        printf("   plugin: event from %s: %s\n", e.from.c_str(), e.text.c_str());
    return static_cast<int>(events.size());
}
}

// A logging plugin that lacks its work entry point: the loader refuses it.
#include <plugloader/loggingplugin.h>

extern "C" {
int initloggingplugin(loggingplugindetails &, Options &, bool)
{
    return 1;
}
int closeloggingplugin()
{
    return 1;
}
}

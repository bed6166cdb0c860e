// The proxy's types as a host of the loaders would define them. The tests
// only need distinct objects to hand through the forwarders.
#ifndef TESTS_PLUGINS_PROXYTYPES_DEF_H
#define TESTS_PLUGINS_PROXYTYPES_DEF_H

#include <plugloader/proxytypes.h>

#include <string>

class Options
{
public:
    std::string plugindir;
};
class Socket
{
public:
    int fd = -1;
};
class imevent
{
public:
    std::string text;
};
class response
{
public:
    std::string text;
};

#endif

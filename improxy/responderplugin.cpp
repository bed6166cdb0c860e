// responderplugin: opens one responder plugin, binds its entry points and
// forwards the proxy's calls to them (the forwarders are inline in the
// header).
#include <plugloader/responderplugin.h>

#include "pluginopen.h"

#include <dlfcn.h>
#include <stddef.h>

#include <type_traits>

// Plugins are handed a reference to `details` and the host may reach it
// through the object's address; both rely on this layout.
static_assert(std::is_standard_layout<ResponderPlugin>::value, "loader must be standard-layout");
static_assert(offsetof(ResponderPlugin, details) == 0, "details record must come first");

ResponderPlugin::ResponderPlugin()
    : handle(NULL), initresponderplugin(NULL), closeresponderplugin(NULL), generateresponses(NULL)
{
}

// The library is deliberately left loaded: code of a plugin may still be
// referenced by the proxy after its loader has gone.
ResponderPlugin::~ResponderPlugin() {}

// The name is taken by value: the caller's string is copied, as the proxy
// expects of the loaders.
// cppcheck-suppress passedByValue
// NOLINTNEXTLINE(performance-unnecessary-value-param): by value, as above
int ResponderPlugin::loadplugin(std::string filename)
{
    // Stored at once, null or not; a handle held before is not closed.
    handle = openplugin(filename);
    if (!handle)
        return 0;

    initresponderplugin = reinterpret_cast<initresponderpluginfunc>(dlsym(handle, "initresponderplugin"));
    closeresponderplugin = reinterpret_cast<closeresponderpluginfunc>(dlsym(handle, "closeresponderplugin"));
    generateresponses = reinterpret_cast<generateresponsesfunc>(dlsym(handle, "generateresponses"));

    const char *const names[] = {"initresponderplugin", "closeresponderplugin", "generateresponses"};
    const bool found[] = {initresponderplugin != NULL, closeresponderplugin != NULL, generateresponses != NULL};
    return requireentrypoints(filename, names, found, 3);
}

int ResponderPlugin::unloadplugin()
{
    return closeplugin(handle);
}

// loggingplugin: opens one logging plugin, binds its entry points and
// forwards the proxy's calls to them (the forwarders are inline in the
// header).
#include <plugloader/loggingplugin.h>

#include "pluginopen.h"

#include <dlfcn.h>
#include <stddef.h>

#include <type_traits>

// Plugins are handed a reference to `details` and the host may reach it
// through the object's address; both rely on this layout.
static_assert(std::is_standard_layout<LoggingPlugin>::value, "loader must be standard-layout");
static_assert(offsetof(LoggingPlugin, details) == 0, "details record must come first");

LoggingPlugin::LoggingPlugin()
    : handle(NULL), initloggingplugin(NULL), closeloggingplugin(NULL), logevents(NULL)
{
}

// The library is deliberately left loaded: code of a plugin may still be
// referenced by the proxy after its loader has gone.
LoggingPlugin::~LoggingPlugin() {}

// The name is taken by value: the caller's string is copied, as the proxy
// expects of the loaders.
// cppcheck-suppress passedByValue
// NOLINTNEXTLINE(performance-unnecessary-value-param): by value, as above
int LoggingPlugin::loadplugin(std::string filename)
{
    // Stored at once, null or not; a handle held before is not closed.
    handle = openplugin(filename);
    if (!handle)
        return 0;

    initloggingplugin = reinterpret_cast<initloggingpluginfunc>(dlsym(handle, "initloggingplugin"));
    closeloggingplugin = reinterpret_cast<closeloggingpluginfunc>(dlsym(handle, "closeloggingplugin"));
    logevents = reinterpret_cast<logeventsfunc>(dlsym(handle, "logevents"));

    const char *const names[] = {"initloggingplugin", "closeloggingplugin", "logevents"};
    const bool found[] = {initloggingplugin != NULL, closeloggingplugin != NULL, logevents != NULL};
    return requireentrypoints(filename, names, found, 3);
}

int LoggingPlugin::unloadplugin()
{
    return closeplugin(handle);
}

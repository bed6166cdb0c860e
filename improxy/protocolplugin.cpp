// protocolplugin: opens one protocol plugin, binds its entry points and
// forwards the proxy's calls to them (the forwarders are inline in the
// header).
#include <plugloader/protocolplugin.h>

#include "pluginopen.h"

#include <dlfcn.h>
#include <stddef.h>

#include <type_traits>

// Plugins are handed a reference to `details` and the host may reach it
// through the object's address; both rely on this layout.
static_assert(std::is_standard_layout<ProtocolPlugin>::value, "loader must be standard-layout");
static_assert(offsetof(ProtocolPlugin, details) == 0, "details record must come first");
static_assert(sizeof(protocolplugindetails::port) <= 4, "third member holds at most four bytes");

// The details record's third member is the plugins' business: the loader
// neither sets nor reads it.
// cppcheck-suppress uninitMemberVar
ProtocolPlugin::ProtocolPlugin()
    : handle(NULL), initprotocolplugin(NULL), closeprotocolplugin(NULL), processpacket(NULL),
      generatemessagepacket(NULL)
{
}

// The library is deliberately left loaded: code of a plugin may still be
// referenced by the proxy after its loader has gone.
ProtocolPlugin::~ProtocolPlugin() {}

// The name is taken by value: the caller's string is copied, as the proxy
// expects of the loaders.
// cppcheck-suppress passedByValue
// NOLINTNEXTLINE(performance-unnecessary-value-param): by value, as above
int ProtocolPlugin::loadplugin(std::string filename)
{
    // Stored at once, null or not; a handle held before is not closed.
    handle = openplugin(filename);
    if (!handle)
        return 0;

    initprotocolplugin = reinterpret_cast<initprotocolpluginfunc>(dlsym(handle, "initprotocolplugin"));
    closeprotocolplugin = reinterpret_cast<closeprotocolpluginfunc>(dlsym(handle, "closeprotocolplugin"));
    processpacket = reinterpret_cast<processpacketfunc>(dlsym(handle, "processpacket"));
    generatemessagepacket = reinterpret_cast<generatemessagepacketfunc>(dlsym(handle, "generatemessagepacket"));

    const char *const names[] = {"initprotocolplugin", "closeprotocolplugin", "processpacket"};
    const bool found[] = {initprotocolplugin != NULL, closeprotocolplugin != NULL, processpacket != NULL};
    return requireentrypoints(filename, names, found, 3);
}

int ProtocolPlugin::unloadplugin()
{
    return closeplugin(handle);
}

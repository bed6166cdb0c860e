// protocolplugin: opens one protocol plugin, binds its entry points and
// forwards the proxy's calls to them (the forwarders are inline in the
// header).
#include <plugloader/protocolplugin.h>

#include <dlfcn.h>
#include <stddef.h>
#include <syslog.h>

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
    handle = dlopen(filename.c_str(), RTLD_LAZY);
    if (!handle) {
        const char *error = dlerror();
        syslog(LOG_ERR, "dlopen(): %s\n", error ? error : "cannot open shared object");
        return 0;
    }

    initprotocolplugin = reinterpret_cast<initprotocolpluginfunc>(dlsym(handle, "initprotocolplugin"));
    closeprotocolplugin = reinterpret_cast<closeprotocolpluginfunc>(dlsym(handle, "closeprotocolplugin"));
    processpacket = reinterpret_cast<processpacketfunc>(dlsym(handle, "processpacket"));
    generatemessagepacket = reinterpret_cast<generatemessagepacketfunc>(dlsym(handle, "generatemessagepacket"));

    const char *missing = NULL;
    if (!initprotocolplugin)
        missing = "missing symbol initprotocolplugin";
    else if (!closeprotocolplugin)
        missing = "missing symbol closeprotocolplugin";
    else if (!processpacket)
        missing = "missing symbol processpacket";
    if (!missing)
        return 1;

    // A later lookup that succeeded may have cleared the loader's error
    // text; then the line names the first required entry point that is
    // missing instead.
    const char *error = dlerror();
    syslog(LOG_ERR, "%s: dlsym(): %s\n", filename.c_str(), error ? error : missing);
    return 0;
}

int ProtocolPlugin::unloadplugin()
{
    // Forgetting the handle once it is closed keeps a repeated unload from
    // closing it twice (and so from dropping another user's reference).
    if (handle && dlclose(handle) == 0)
        handle = NULL;
    return 1;
}

// responderplugin: opens one responder plugin, binds its entry points and
// forwards the proxy's calls to them (the forwarders are inline in the
// header).
#include <plugloader/responderplugin.h>

#include <dlfcn.h>
#include <stddef.h>
#include <syslog.h>

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
    handle = dlopen(filename.c_str(), RTLD_LAZY);
    if (!handle) {
        const char *error = dlerror();
        syslog(LOG_ERR, "dlopen(): %s\n", error ? error : "cannot open shared object");
        return 0;
    }

    initresponderplugin = reinterpret_cast<initresponderpluginfunc>(dlsym(handle, "initresponderplugin"));
    closeresponderplugin = reinterpret_cast<closeresponderpluginfunc>(dlsym(handle, "closeresponderplugin"));
    generateresponses = reinterpret_cast<generateresponsesfunc>(dlsym(handle, "generateresponses"));

    const char *missing = NULL;
    if (!initresponderplugin)
        missing = "missing symbol initresponderplugin";
    else if (!closeresponderplugin)
        missing = "missing symbol closeresponderplugin";
    else if (!generateresponses)
        missing = "missing symbol generateresponses";
    if (!missing)
        return 1;

    // A later lookup that succeeded may have cleared the loader's error
    // text; then the line names the first entry point that is missing
    // instead.
    const char *error = dlerror();
    syslog(LOG_ERR, "%s: dlsym(): %s\n", filename.c_str(), error ? error : missing);
    return 0;
}

int ResponderPlugin::unloadplugin()
{
    // Forgetting the handle once it is closed keeps a repeated unload from
    // closing it twice (and so from dropping another user's reference).
    if (handle && dlclose(handle) == 0)
        handle = NULL;
    return 1;
}

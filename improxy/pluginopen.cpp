#include "pluginopen.h"

#include <dlfcn.h>
#include <syslog.h>

void *openplugin(const std::string &filename)
{
    void *handle = dlopen(filename.c_str(), RTLD_LAZY);
    if (!handle) {
        const char *error = dlerror();
        syslog(LOG_ERR, "dlopen(): %s\n", error ? error : "cannot open shared object");
    }
    return handle;
}

int requireentrypoints(const std::string &filename, const char *const names[], const bool found[],
                       int count)
{
    int first = 0;
    while (first < count && found[first])
        first++;
    if (first == count)
        return 1;

    // The error text is read once, here, after the last lookup.
    const char *error = dlerror();
    std::string missing = std::string("missing symbol ") + names[first];
    syslog(LOG_ERR, "%s: dlsym(): %s\n", filename.c_str(), error ? error : missing.c_str());
    return 0;
}

int closeplugin(void *&handle)
{
    if (handle && dlclose(handle) == 0)
        handle = nullptr;
    return 1;
}

// What the three loaders do alike: open a plugin, check that its required
// entry points were found, and close it. Internal to the library.
#ifndef PLUGLOADER_PLUGINOPEN_H
#define PLUGLOADER_PLUGINOPEN_H

#include <string>

#define PLUGLOADER_INTERNAL __attribute__((visibility("hidden")))

// dlopen(filename, RTLD_LAZY); on failure logs "dlopen(): %s\n" with the
// loader's error text and returns null.
PLUGLOADER_INTERNAL void *openplugin(const std::string &filename);

// Called right after the last lookup: 1 when every required entry point was
// found; otherwise logs "%s: dlsym(): %s\n" with the file name and the
// loader's pending error text (or, when a later successful lookup cleared
// it, which entry point is missing first) and returns 0.
PLUGLOADER_INTERNAL int requireentrypoints(const std::string &filename, const char *const names[],
                                           const bool found[], int count);

// Closes the library if one is held and forgets the handle once it is
// closed, so a repeated unload cannot drop another user's reference.
// Always 1.
PLUGLOADER_INTERNAL int closeplugin(void *&handle);

#endif

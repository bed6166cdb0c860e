// LoggingPlugin: the proxy's handle on one logging plugin.
//
// A logging plugin is a shared object that exports these entry points
// under exactly these unmangled names (declare them `extern "C"`); all
// three are required:
//
//   int initloggingplugin(loggingplugindetails &details,
//                         Options &options, bool debug);
//       Called once before any other entry point. Fills `details` (the
//       record inside the loader object, so the proxy sees it afterwards).
//       Returns 1 when the plugin is ready for use, 0 when it declines.
//   int closeloggingplugin();
//       Called before the plugin is unloaded. Returns 1 on success.
//   int logevents(std::vector<imevent> &imevents);
//       Records the events of one packet. Returns 1 on success, 0 on
//       failure.
//
// All results pass through the forwarders unchanged. The forwarders check
// nothing: call them only after a successful loadplugin() and before
// unloadplugin(). unloadplugin() does not tell the plugin: call
// callcloseloggingplugin() first. Destroying the object does not unload
// the library. A failed load is reported to the system log at LOG_ERR.
#ifndef PLUGLOADER_LOGGINGPLUGIN_H
#define PLUGLOADER_LOGGINGPLUGIN_H

#include <plugloader/proxytypes.h>

#include <string>
#include <vector>

// Filled by the plugin's init entry point; the loader itself only creates
// the text empty and destroys it.
struct loggingplugindetails
{
    std::string pluginname;  // the plugin's own name, for the proxy's logs
};

typedef int (*initloggingpluginfunc)(loggingplugindetails &, Options &, bool);
typedef int (*closeloggingpluginfunc)();
typedef int (*logeventsfunc)(std::vector<imevent> &);

class LoggingPlugin
{
public:
    LoggingPlugin();
    ~LoggingPlugin();

    // Opens `filename` (passed to dlopen unchanged) and binds the three
    // entry points. 1 when all are bound, otherwise 0 and one line in the
    // system log. A library that this object held before is not closed.
    // After a failed lookup the library stays open until unloadplugin().
    int loadplugin(std::string filename);
    // Closes the library if one was opened; always 1.
    int unloadplugin();

    // Each is one call through the bound entry point, with the arguments
    // passed straight on and the result handed back.
    int callinitloggingplugin(Options &options, bool debug)
    {
        return initloggingplugin(details, options, debug);
    }
    int callcloseloggingplugin() { return closeloggingplugin(); }
    int calllogevents(std::vector<imevent> &imevents) { return logevents(imevents); }

    // The data members are all public and in this order, so the object is
    // standard-layout and the details record, first, has the object's own
    // address. The host reads `details`; the rest belongs to the loader.
    loggingplugindetails details;
    void *handle;  // from dlopen; kept until unloadplugin() closes it
    initloggingpluginfunc initloggingplugin;
    closeloggingpluginfunc closeloggingplugin;
    logeventsfunc logevents;
};

#endif

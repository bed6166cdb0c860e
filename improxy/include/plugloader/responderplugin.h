// ResponderPlugin: the proxy's handle on one responder plugin.
//
// A responder plugin is a shared object that exports these entry points
// under exactly these unmangled names (declare them `extern "C"`); all
// three are required:
//
//   int initresponderplugin(responderplugindetails &details,
//                           Options &options, bool debug);
//       Called once before any other entry point. Fills `details` (the
//       record inside the loader object, so the proxy sees it afterwards).
//       Returns 1 when the plugin is ready for use, 0 when it declines.
//   int closeresponderplugin();
//       Called before the plugin is unloaded. Returns 1 on success.
//   int generateresponses(std::vector<imevent> &imevents,
//                         std::vector<response> &responses);
//       Looks at the events of one packet and appends the replies that are
//       to be sent to `responses`. Returns 1 on success, 0 on failure.
//
// All results pass through the forwarders unchanged. The forwarders check
// nothing: call them only after a successful loadplugin() and before
// unloadplugin(). unloadplugin() does not tell the plugin: call
// callcloseresponderplugin() first. Destroying the object does not unload
// the library. A failed load is reported to the system log at LOG_ERR.
#ifndef PLUGLOADER_RESPONDERPLUGIN_H
#define PLUGLOADER_RESPONDERPLUGIN_H

#include <plugloader/proxytypes.h>

#include <string>
#include <vector>

// Filled by the plugin's init entry point; the loader itself only creates
// the text empty and destroys it.
struct responderplugindetails
{
    std::string pluginname;  // the plugin's own name, for the proxy's logs
};

typedef int (*initresponderpluginfunc)(responderplugindetails &, Options &, bool);
typedef int (*closeresponderpluginfunc)();
typedef int (*generateresponsesfunc)(std::vector<imevent> &, std::vector<response> &);

class ResponderPlugin
{
public:
    ResponderPlugin();
    ~ResponderPlugin();

    // Opens `filename` (passed to dlopen unchanged) and binds the three
    // entry points. 1 when all are bound, otherwise 0 and one line in the
    // system log. A library that this object held before is not closed.
    // After a failed lookup the library stays open until unloadplugin().
    int loadplugin(std::string filename);
    // Closes the library if one was opened; always 1.
    int unloadplugin();

    // Each is one call through the bound entry point, with the arguments
    // passed straight on and the result handed back.
    int callinitresponderplugin(Options &options, bool debug)
    {
        return initresponderplugin(details, options, debug);
    }
    int callcloseresponderplugin() { return closeresponderplugin(); }
    int callgenerateresponses(std::vector<imevent> &imevents, std::vector<response> &responses)
    {
        return generateresponses(imevents, responses);
    }

    // The data members are all public and in this order, so the object is
    // standard-layout and the details record, first, has the object's own
    // address. The host reads `details`; the rest belongs to the loader.
    responderplugindetails details;
    void *handle;  // from dlopen; kept until unloadplugin() closes it
    initresponderpluginfunc initresponderplugin;
    closeresponderpluginfunc closeresponderplugin;
    generateresponsesfunc generateresponses;
};

#endif

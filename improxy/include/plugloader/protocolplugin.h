// ProtocolPlugin: the proxy's handle on one protocol plugin.
//
// A protocol plugin is a shared object that exports these entry points
// under exactly these unmangled names (declare them `extern "C"`):
//
//   int initprotocolplugin(protocolplugindetails &details,
//                          Options &options, bool debug);
//       Called once before any other entry point. Fills `details` (the
//       record inside the loader object, so the proxy sees it afterwards).
//       Returns 1 when the plugin is ready for use, 0 when it declines.
//   int closeprotocolplugin();
//       Called before the plugin is unloaded. Returns 1 on success.
//   int processpacket(bool outgoing, Socket &incomingsock, char *replybuffer,
//                     int *replybufferlength, std::vector<imevent> &imevents,
//                     std::string &clientaddress);
//       Examines one packet read from `incomingsock`, copies what is to be
//       passed on into `replybuffer` and sets `*replybufferlength`; appends
//       what it recognised to `imevents`. Returns 1 when the packet was
//       handled, 0 when the connection should be dropped.
//   int generatemessagepacket(response &reply, char *replybuffer,
//                             int *replybufferlength);   (optional)
//       Builds a packet for `reply` into `replybuffer`, setting
//       `*replybufferlength`. Returns 1 on success, 0 on failure. A plugin
//       that cannot build packets leaves it out; the loader then answers 1
//       itself and leaves the buffer and the length alone.
//
// All results pass through the forwarders unchanged; values other than 0
// and 1 may be agreed between the proxy and its plugins.
//
// A host creates one object per plugin file, calls loadplugin() with the
// file name and, when that returns 1, the forwarders. The forwarders check
// nothing: call them only after a successful loadplugin() and before
// unloadplugin(). unloadplugin() does not tell the plugin: call
// callcloseprotocolplugin() first. Destroying the object does not unload
// the library. A failed load is reported to the system log at LOG_ERR.
#ifndef PLUGLOADER_PROTOCOLPLUGIN_H
#define PLUGLOADER_PROTOCOLPLUGIN_H

#include <plugloader/proxytypes.h>

#include <string>
#include <vector>

// Filled by the plugin's init entry point; the loader itself only creates
// the texts empty and destroys them.
struct protocolplugindetails
{
    std::string pluginname;    // the plugin's own name, for the proxy's logs
    std::string protocolname;  // the protocol that it handles
    int port;                  // the protocol's usual port; set by the plugin
};

typedef int (*initprotocolpluginfunc)(protocolplugindetails &, Options &, bool);
typedef int (*closeprotocolpluginfunc)();
typedef int (*processpacketfunc)(bool, Socket &, char *, int *, std::vector<imevent> &,
                               std::string &);
typedef int (*generatemessagepacketfunc)(response &, char *, int *);

class ProtocolPlugin
{
public:
    ProtocolPlugin();
    ~ProtocolPlugin();

    // Opens `filename` (passed to dlopen unchanged) and binds the entry
    // points. 1 when the three required ones are bound, otherwise 0 and one
    // line in the system log. A library that this object held before is
    // not closed. After a failed lookup the library stays open until
    // unloadplugin().
    int loadplugin(std::string filename);
    // Closes the library if one was opened; always 1.
    int unloadplugin();

    // Each is one call through the bound entry point, with the arguments
    // passed straight on and the result handed back.
    int callinitprotocolplugin(Options &options, bool debug)
    {
        return initprotocolplugin(details, options, debug);
    }
    int callcloseprotocolplugin() { return closeprotocolplugin(); }
    int callprocesspacket(bool outgoing, Socket &incomingsock, char *replybuffer,
                          int *replybufferlength, std::vector<imevent> &imevents,
                          std::string &clientaddress)
    {
        return processpacket(outgoing, incomingsock, replybuffer, replybufferlength, imevents,
                             clientaddress);
    }
    // 1 without calling anything when the plugin has no generatemessagepacket.
    int callgeneratemessagepacket(response &reply, char *replybuffer, int *replybufferlength)
    {
        if (!generatemessagepacket)
            return 1;
        return generatemessagepacket(reply, replybuffer, replybufferlength);
    }

    // The data members are all public and in this order, so the object is
    // standard-layout and the details record, first, has the object's own
    // address. The host reads `details`; the rest belongs to the loader.
    protocolplugindetails details;
    void *handle;  // from dlopen; kept until unloadplugin() closes it
    initprotocolpluginfunc initprotocolplugin;
    closeprotocolpluginfunc closeprotocolplugin;
    processpacketfunc processpacket;
    generatemessagepacketfunc generatemessagepacket;
};

#endif

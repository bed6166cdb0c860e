// A plugin for the loader tests, built once per kind and per missing entry
// point: PLUGIN_PROTOCOL, PLUGIN_RESPONDER or PLUGIN_LOGGING chooses the
// kind; WITHOUT_INIT, WITHOUT_CLOSE, WITHOUT_WORK and WITHOUT_GENERATE
// leave entry points out.
#include "calltrace.h"

#include <plugloader/loggingplugin.h>
#include <plugloader/protocolplugin.h>
#include <plugloader/responderplugin.h>

#include <stdexcept>

extern "C" {
calltrace plugintrace = {0, false, 0, "", {}, false};
}

static int record(const char *name, bool flag, const void *a0 = nullptr,
                  const void *a1 = nullptr, const void *a2 = nullptr, const void *a3 = nullptr,
                  const void *a4 = nullptr)
{
    plugintrace.calls++;
    plugintrace.last = name;
    plugintrace.flag = flag;
    const void *args[6] = {a0, a1, a2, a3, a4, nullptr};
    for (int i = 0; i < 6; i++)
        plugintrace.args[i] = args[i];
    if (plugintrace.throwit) {
        plugintrace.throwit = false;
        throw std::runtime_error(name);
    }
    return plugintrace.result;
}

#if defined(PLUGIN_PROTOCOL)
extern "C" {
#ifndef WITHOUT_INIT
int initprotocolplugin(protocolplugindetails &details, Options &options, bool debug)
{
    details.pluginname = "Test protocol plugin";
    details.protocolname = "TESTCHAT";
    details.port = 5190;
    return record("initprotocolplugin", debug, &details, &options);
}
#endif
#ifndef WITHOUT_CLOSE
int closeprotocolplugin()
{
    return record("closeprotocolplugin", false);
}
#endif
#ifndef WITHOUT_WORK
int processpacket(bool outgoing, Socket &incomingsock, char *replybuffer, int *replybufferlength,
                  std::vector<imevent> &imevents, std::string &clientaddress)
{
    return record("processpacket", outgoing, &incomingsock, replybuffer, replybufferlength,
                  &imevents, &clientaddress);
}
#endif
#ifndef WITHOUT_GENERATE
int generatemessagepacket(response &reply, char *replybuffer, int *replybufferlength)
{
    return record("generatemessagepacket", false, &reply, replybuffer, replybufferlength);
}
#endif
}

#elif defined(PLUGIN_RESPONDER)
extern "C" {
#ifndef WITHOUT_INIT
int initresponderplugin(responderplugindetails &details, Options &options, bool debug)
{
    details.pluginname = "Test responder plugin";
    return record("initresponderplugin", debug, &details, &options);
}
#endif
#ifndef WITHOUT_CLOSE
int closeresponderplugin()
{
    return record("closeresponderplugin", false);
}
#endif
#ifndef WITHOUT_WORK
int generateresponses(std::vector<imevent> &imevents, std::vector<response> &responses)
{
    return record("generateresponses", false, &imevents, &responses);
}
#endif
}

#elif defined(PLUGIN_LOGGING)
extern "C" {
#ifndef WITHOUT_INIT
int initloggingplugin(loggingplugindetails &details, Options &options, bool debug)
{
    details.pluginname = "Test logging plugin";
    return record("initloggingplugin", debug, &details, &options);
}
#endif
#ifndef WITHOUT_CLOSE
int closeloggingplugin()
{
    return record("closeloggingplugin", false);
}
#endif
#ifndef WITHOUT_WORK
int logevents(std::vector<imevent> &imevents)
{
    return record("logevents", false, &imevents);
}
#endif
}
#endif

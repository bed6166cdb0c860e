// A plugin of every kind at once for the loader benchmark: each entry point
// does next to nothing, so what is measured is the way the call gets there.
#include <plugloader/loggingplugin.h>
#include <plugloader/protocolplugin.h>
#include <plugloader/responderplugin.h>

// The entry points keep the shapes the loaders look them up by: the length
// is an in-out parameter there, even where this plugin only reads it.
extern "C" {
int initprotocolplugin(protocolplugindetails &, Options &, bool debug) { return debug; }
int closeprotocolplugin() { return 1; }
// NOLINTNEXTLINE(readability-non-const-parameter): the loader's shape
int processpacket(bool outgoing, Socket &, char *, int *length, std::vector<imevent> &,
                  std::string &)
{
    return outgoing + *length;
}
// NOLINTNEXTLINE(readability-non-const-parameter): the loader's shape
int generatemessagepacket(response &, char *, int *length) { return *length; }

int initresponderplugin(responderplugindetails &, Options &, bool debug) { return debug; }
int closeresponderplugin() { return 1; }
int generateresponses(std::vector<imevent> &, std::vector<response> &) { return 1; }

int initloggingplugin(loggingplugindetails &, Options &, bool debug) { return debug; }
int closeloggingplugin() { return 1; }
int logevents(std::vector<imevent> &) { return 1; }
}

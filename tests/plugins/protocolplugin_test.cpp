#include "plugintest.h"

#include <plugloader/protocolplugin.h>

#include <stdexcept>
#include <string.h>

using ProtocolLoad = PluginTest;

TEST_F(ProtocolLoad, ForwardsEveryCallWithItsArgumentsAndResult)
{
    const std::string path = pluginpath("protocol_full");
    ProtocolPlugin p;
    ASSERT_EQ(p.loadplugin(path), 1);
    expectnolog();
    calltrace *t = traceof(path);
    ASSERT_NE(t, nullptr);

    Options options;
    t->result = 17;
    EXPECT_EQ(p.callinitprotocolplugin(options, true), 17);
    EXPECT_STREQ(t->last, "initprotocolplugin");
    EXPECT_EQ(t->args[0], &p.details);
    EXPECT_EQ(t->args[0], (void *)&p);  // the record is the object's start
    EXPECT_EQ(t->args[1], &options);
    EXPECT_TRUE(t->flag);
    EXPECT_EQ(p.details.pluginname, "Test protocol plugin");
    EXPECT_EQ(p.details.protocolname, "TESTCHAT");
    EXPECT_EQ(p.details.port, 5190);

    Socket sock;
    char buffer[32] = "packet";
    int length = 6;
    std::vector<imevent> events;
    std::string client = "10.0.0.9";
    for (bool outgoing : {false, true}) {
        t->result = outgoing ? -3 : 0;
        EXPECT_EQ(p.callprocesspacket(outgoing, sock, buffer, &length, events, client),
                  outgoing ? -3 : 0);
        EXPECT_STREQ(t->last, "processpacket");
        EXPECT_EQ(t->flag, outgoing);
        EXPECT_EQ(t->args[0], &sock);
        EXPECT_EQ(t->args[1], buffer);
        EXPECT_EQ(t->args[2], &length);
        EXPECT_EQ(t->args[3], &events);
        EXPECT_EQ(t->args[4], &client);
    }

    response reply;
    t->result = 0;
    EXPECT_EQ(p.callgeneratemessagepacket(reply, buffer, &length), 0);
    EXPECT_STREQ(t->last, "generatemessagepacket");
    EXPECT_EQ(t->args[0], &reply);
    EXPECT_EQ(t->args[1], buffer);
    EXPECT_EQ(t->args[2], &length);

    t->result = 42;
    EXPECT_EQ(p.callcloseprotocolplugin(), 42);
    EXPECT_STREQ(t->last, "closeprotocolplugin");
    EXPECT_EQ(t->calls, 5);

    EXPECT_EQ(p.unloadplugin(), 1);
    EXPECT_FALSE(isloaded(path));
    // What the plugin stored stays with the object after the unload.
    EXPECT_EQ(p.details.pluginname, "Test protocol plugin");
    EXPECT_EQ(p.details.protocolname, "TESTCHAT");
    expectnolog();
}

TEST_F(ProtocolLoad, ExceptionFromAnEntryPointReachesTheCaller)
{
    const std::string path = pluginpath("protocol_full");
    ProtocolPlugin p;
    ASSERT_EQ(p.loadplugin(path), 1);
    Socket sock;
    char buffer[8];
    int length = 0;
    std::vector<imevent> events;
    std::string client;
    traceof(path)->throwit = true;
    EXPECT_THROW(p.callprocesspacket(false, sock, buffer, &length, events, client),
                 std::runtime_error);
    p.unloadplugin();
}

TEST_F(ProtocolLoad, PluginWithoutGeneratorLoadsAndAnswersOneItself)
{
    const std::string path = pluginpath("protocol_nogenerate");
    ProtocolPlugin p;
    ASSERT_EQ(p.loadplugin(path), 1);
    expectnolog();
    EXPECT_EQ(p.generatemessagepacket, nullptr);
    calltrace *t = traceof(path);
    ASSERT_NE(t, nullptr);

    response reply;
    reply.text = "hello";
    char buffer[8] = "abcdefg";
    int length = 7;
    t->result = 99;
    EXPECT_EQ(p.callgeneratemessagepacket(reply, buffer, &length), 1);
    EXPECT_EQ(t->calls, 0);
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_EQ(length, 7);
    EXPECT_EQ(reply.text, "hello");

    // The other entry points are bound as usual.
    Options options;
    EXPECT_EQ(p.callinitprotocolplugin(options, false), 99);
    EXPECT_EQ(t->calls, 1);
    p.unloadplugin();
    EXPECT_FALSE(isloaded(path));
}

// A required entry point that is missing: one line naming the file, 0, and
// the library stays open until unloadplugin. A later lookup that succeeds
// leaves the loader no error text, so the line names the entry point.
TEST_F(ProtocolLoad, MissingRequiredEntryPointIsLoggedAndLibraryKeptOpen)
{
    const struct {
        const char *plugin;
        const char *symbol;
    } cases[] = {
        {"protocol_noinit", "initprotocolplugin"},
        {"protocol_noclose", "closeprotocolplugin"},
        {"protocol_nowork", "processpacket"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.plugin);
        const std::string path = pluginpath(c.plugin);
        ProtocolPlugin p;
        EXPECT_EQ(p.loadplugin(path), 0);
        EXPECT_EQ(onlylogline(), path + ": dlsym(): missing symbol " + c.symbol + "\n");
        EXPECT_TRUE(isloaded(path));
        EXPECT_NE(p.handle, nullptr);
        // The lookups that succeeded are kept.
        EXPECT_EQ(p.generatemessagepacket != nullptr, true);
        EXPECT_EQ(p.initprotocolplugin == nullptr, !strcmp(c.symbol, "initprotocolplugin"));
        EXPECT_EQ(p.processpacket == nullptr, !strcmp(c.symbol, "processpacket"));

        EXPECT_EQ(p.unloadplugin(), 1);
        EXPECT_FALSE(isloaded(path));
        expectnolog();
    }
}

// When the optional last lookup fails too, its error text is the one the
// loader still has, and that is what the line shows.
TEST_F(ProtocolLoad, ErrorTextIsReadAfterTheLastLookup)
{
    const std::string path = pluginpath("protocol_noclose_nogenerate");
    ProtocolPlugin p;
    EXPECT_EQ(p.loadplugin(path), 0);
    EXPECT_EQ(onlylogline(),
              path + ": dlsym(): " + path + ": undefined symbol: generatemessagepacket\n");
    EXPECT_TRUE(isloaded(path));
    p.unloadplugin();
    EXPECT_FALSE(isloaded(path));
}

TEST_F(ProtocolLoad, FileThatCannotBeOpenedLeavesNoHandle)
{
    for (const std::string &path :
         {pluginpath("notashared"), pluginpath("nosuchplugin"), std::string("protocol_full.so")}) {
        SCOPED_TRACE(path);
        void *direct = dlopen(path.c_str(), RTLD_LAZY);
        ASSERT_EQ(direct, nullptr);
        const std::string error = dlerror();

        ProtocolPlugin p;
        EXPECT_EQ(p.loadplugin(path), 0);
        // The file name is not part of this line beyond what the loader says.
        EXPECT_EQ(onlylogline(), "dlopen(): " + error + "\n");
        EXPECT_EQ(p.handle, nullptr);
        EXPECT_EQ(p.unloadplugin(), 1);
        expectnolog();
    }
}

// A name without a slash is handed over as it is and found by the dynamic
// loader's own rules: here a library that the process already has.
TEST_F(ProtocolLoad, NameWithoutSlashIsNotRewritten)
{
    ProtocolPlugin p;
    EXPECT_EQ(p.loadplugin("libm.so.6"), 0);
    std::string line = onlylogline();
    EXPECT_EQ(line.rfind("libm.so.6: dlsym(): ", 0), 0u) << line;
    EXPECT_NE(p.handle, nullptr);
    EXPECT_EQ(p.unloadplugin(), 1);
}

TEST_F(ProtocolLoad, UnloadOnFreshObjectDoesNothing)
{
    ProtocolPlugin p;
    EXPECT_EQ(p.handle, nullptr);
    EXPECT_EQ(p.details.pluginname, "");
    EXPECT_EQ(p.details.protocolname, "");
    EXPECT_EQ(p.unloadplugin(), 1);
    EXPECT_EQ(p.handle, nullptr);
    expectnolog();
}

TEST_F(ProtocolLoad, UnloadDoesNotTellThePlugin)
{
    const std::string path = pluginpath("protocol_full");
    ProtocolPlugin p;
    ASSERT_EQ(p.loadplugin(path), 1);
    void *own = dlopen(path.c_str(), RTLD_LAZY);  // keeps the trace readable
    calltrace *t = traceof(path);
    int before = t->calls;
    EXPECT_EQ(p.unloadplugin(), 1);
    // The plugin counts every call made into it; unloading makes none.
    // cppcheck-suppress knownConditionTrueFalse
    EXPECT_EQ(t->calls, before);
    EXPECT_TRUE(isloaded(path));
    dlclose(own);
    EXPECT_FALSE(isloaded(path));
}

// A repeated unload must not close the library a second time: that would
// take away a reference somebody else holds.
TEST_F(ProtocolLoad, SecondUnloadLeavesOtherReferencesAlone)
{
    const std::string path = pluginpath("protocol_full");
    void *own = dlopen(path.c_str(), RTLD_LAZY);
    ASSERT_NE(own, nullptr);
    ProtocolPlugin p;
    ASSERT_EQ(p.loadplugin(path), 1);
    EXPECT_EQ(p.unloadplugin(), 1);
    EXPECT_EQ(p.unloadplugin(), 1);
    EXPECT_TRUE(isloaded(path));
    dlclose(own);
    EXPECT_FALSE(isloaded(path));
}

TEST_F(ProtocolLoad, SecondLoadOverwritesTheHandleWithoutClosing)
{
    const std::string first = pluginpath("protocol_full");
    const std::string second = pluginpath("protocol_other");
    ProtocolPlugin p;
    ASSERT_EQ(p.loadplugin(first), 1);
    ASSERT_EQ(p.loadplugin(second), 1);
    EXPECT_TRUE(isloaded(first));
    Options options;
    p.callinitprotocolplugin(options, false);
    EXPECT_EQ(traceof(second)->calls, 1);
    EXPECT_EQ(traceof(first)->calls, 0);

    EXPECT_EQ(p.unloadplugin(), 1);
    EXPECT_FALSE(isloaded(second));
    EXPECT_TRUE(isloaded(first));  // the first library is never closed
    forceunload(first);
    EXPECT_FALSE(isloaded(first));
}

// A failed open on a loaded object nulls the handle but leaves the entry
// points and the first library as they were.
TEST_F(ProtocolLoad, FailedReloadKeepsEntryPointsAndFirstLibrary)
{
    const std::string first = pluginpath("protocol_full");
    ProtocolPlugin p;
    ASSERT_EQ(p.loadplugin(first), 1);
    initprotocolpluginfunc init = p.initprotocolplugin;
    generatemessagepacketfunc generate = p.generatemessagepacket;

    EXPECT_EQ(p.loadplugin(pluginpath("notashared")), 0);
    onlylogline();
    EXPECT_EQ(p.handle, nullptr);
    EXPECT_EQ(p.initprotocolplugin, init);
    EXPECT_EQ(p.generatemessagepacket, generate);
    EXPECT_EQ(p.unloadplugin(), 1);
    EXPECT_TRUE(isloaded(first));
    forceunload(first);
}

TEST_F(ProtocolLoad, DestroyingTheObjectLeavesThePluginLoaded)
{
    const std::string path = pluginpath("protocol_full");
    {
        ProtocolPlugin p;
        ASSERT_EQ(p.loadplugin(path), 1);
        Options options;
        p.callinitprotocolplugin(options, false);
    }
    EXPECT_TRUE(isloaded(path));
    calltrace *t = traceof(path);
    EXPECT_EQ(t->calls, 1);  // no close entry point on the way out
    EXPECT_STREQ(t->last, "initprotocolplugin");
    forceunload(path);
    EXPECT_FALSE(isloaded(path));
}

// The responder and logging loaders follow the protocol loader step for
// step; the same tests run against both, through a small description of
// each kind.
#include "plugintest.h"

#include <plugloader/loggingplugin.h>
#include <plugloader/responderplugin.h>

#include <stdexcept>

struct ResponderKind
{
    typedef ResponderPlugin Loader;
    static constexpr const char *prefix = "responder";
    static constexpr const char *initname = "initresponderplugin";
    static constexpr const char *closename = "closeresponderplugin";
    static constexpr const char *workname = "generateresponses";
    static constexpr const char *pluginname = "Test responder plugin";
    static int init(Loader &l, Options &o, bool debug) { return l.callinitresponderplugin(o, debug); }
    static int close(Loader &l) { return l.callcloseresponderplugin(); }
    // Calls the work forwarder and checks what reached the plugin.
    static int work(Loader &l, const calltrace *t)
    {
        std::vector<imevent> events(2);
        std::vector<response> responses;
        int result = l.callgenerateresponses(events, responses);
        EXPECT_EQ(t->args[0], &events);
        EXPECT_EQ(t->args[1], &responses);
        return result;
    }
    static bool bound(const Loader &l, int which)
    {
        return which == 0 ? l.initresponderplugin != nullptr
             : which == 1 ? l.closeresponderplugin != nullptr
                          : l.generateresponses != nullptr;
    }
};

struct LoggingKind
{
    typedef LoggingPlugin Loader;
    static constexpr const char *prefix = "logging";
    static constexpr const char *initname = "initloggingplugin";
    static constexpr const char *closename = "closeloggingplugin";
    static constexpr const char *workname = "logevents";
    static constexpr const char *pluginname = "Test logging plugin";
    static int init(Loader &l, Options &o, bool debug) { return l.callinitloggingplugin(o, debug); }
    static int close(Loader &l) { return l.callcloseloggingplugin(); }
    static int work(Loader &l, const calltrace *t)
    {
        std::vector<imevent> events(1);
        int result = l.calllogevents(events);
        EXPECT_EQ(t->args[0], &events);
        EXPECT_EQ(t->args[1], nullptr);
        return result;
    }
    static bool bound(const Loader &l, int which)
    {
        return which == 0 ? l.initloggingplugin != nullptr
             : which == 1 ? l.closeloggingplugin != nullptr
                          : l.logevents != nullptr;
    }
};

template <typename Kind>
class KindLoad : public PluginTest
{
protected:
    static std::string plugin(const char *variant)
    {
        return pluginpath((std::string(Kind::prefix) + "_" + variant).c_str());
    }
};
typedef ::testing::Types<ResponderKind, LoggingKind> Kinds;
TYPED_TEST_SUITE(KindLoad, Kinds);

TYPED_TEST(KindLoad, ForwardsEveryCallWithItsArgumentsAndResult)
{
    typedef TypeParam K;
    const std::string path = this->plugin("full");
    typename K::Loader l;
    EXPECT_EQ(l.details.pluginname, "");
    ASSERT_EQ(l.loadplugin(path), 1);
    this->expectnolog();
    calltrace *t = traceof(path);
    ASSERT_NE(t, nullptr);

    Options options;
    for (bool debug : {true, false}) {
        t->result = debug ? 7 : -1;
        EXPECT_EQ(K::init(l, options, debug), debug ? 7 : -1);
        EXPECT_STREQ(t->last, K::initname);
        EXPECT_EQ(t->args[0], &l.details);
        EXPECT_EQ(t->args[0], (void *)&l);
        EXPECT_EQ(t->args[1], &options);
        EXPECT_EQ(t->flag, debug);
    }
    EXPECT_EQ(l.details.pluginname, K::pluginname);

    t->result = 0;
    EXPECT_EQ(K::work(l, t), 0);
    EXPECT_STREQ(t->last, K::workname);
    t->result = 12345;
    EXPECT_EQ(K::work(l, t), 12345);

    t->result = 3;
    EXPECT_EQ(K::close(l), 3);
    EXPECT_STREQ(t->last, K::closename);
    EXPECT_EQ(t->calls, 5);

    EXPECT_EQ(l.unloadplugin(), 1);
    EXPECT_FALSE(isloaded(path));
    EXPECT_EQ(l.details.pluginname, K::pluginname);
    this->expectnolog();
}

TYPED_TEST(KindLoad, ExceptionFromAnEntryPointReachesTheCaller)
{
    typedef TypeParam K;
    const std::string path = this->plugin("full");
    typename K::Loader l;
    ASSERT_EQ(l.loadplugin(path), 1);
    calltrace *t = traceof(path);
    t->throwit = true;
    EXPECT_THROW(K::work(l, t), std::runtime_error);
    l.unloadplugin();
}

// Every entry point is required, the work one included. With the later
// lookups succeeding the loader has no error text left, and the line names
// the missing entry point; a missing work symbol is the last lookup, so
// its own error text is shown.
TYPED_TEST(KindLoad, MissingEntryPointIsLoggedAndLibraryKeptOpen)
{
    typedef TypeParam K;
    const char *variants[] = {"noinit", "noclose", "nowork"};
    const char *symbols[] = {K::initname, K::closename, K::workname};
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(variants[i]);
        const std::string path = this->plugin(variants[i]);
        typename K::Loader l;
        EXPECT_EQ(l.loadplugin(path), 0);
        std::string expected = path + ": dlsym(): ";
        expected += i < 2 ? std::string("missing symbol ") : path + ": undefined symbol: ";
        expected += symbols[i];
        expected += "\n";
        EXPECT_EQ(this->onlylogline(), expected);
        EXPECT_TRUE(isloaded(path));
        EXPECT_NE(l.handle, nullptr);
        for (int which = 0; which < 3; which++)
            EXPECT_EQ(K::bound(l, which), which != i) << which;

        EXPECT_EQ(l.unloadplugin(), 1);
        EXPECT_FALSE(isloaded(path));
        this->expectnolog();
    }
}

TYPED_TEST(KindLoad, FileThatCannotBeOpenedLeavesNoHandle)
{
    typedef TypeParam K;
    const std::string path = pluginpath("notashared");
    void *direct = dlopen(path.c_str(), RTLD_LAZY);
    ASSERT_EQ(direct, nullptr);
    const std::string error = dlerror();

    typename K::Loader l;
    EXPECT_EQ(l.unloadplugin(), 1);  // fresh: nothing to close
    EXPECT_EQ(l.loadplugin(path), 0);
    EXPECT_EQ(this->onlylogline(), "dlopen(): " + error + "\n");
    EXPECT_EQ(l.handle, nullptr);
    EXPECT_EQ(l.unloadplugin(), 1);
    this->expectnolog();
}

TYPED_TEST(KindLoad, ReloadAndDestructionNeverCloseALibrary)
{
    typedef TypeParam K;
    const std::string first = this->plugin("full");
    {
        typename K::Loader l;
        ASSERT_EQ(l.loadplugin(first), 1);
        // A failed open nulls the handle only; unload then closes nothing.
        EXPECT_EQ(l.loadplugin(pluginpath("notashared")), 0);
        this->onlylogline();
        EXPECT_TRUE(K::bound(l, 0));
        EXPECT_EQ(l.unloadplugin(), 1);
        EXPECT_TRUE(isloaded(first));

        // A second library replaces the handle; the first stays open.
        const std::string second = this->plugin("noinit");
        EXPECT_EQ(l.loadplugin(second), 0);
        this->onlylogline();
        EXPECT_TRUE(isloaded(first));
        EXPECT_EQ(l.unloadplugin(), 1);
        EXPECT_FALSE(isloaded(second));
        EXPECT_TRUE(isloaded(first));
        forceunload(first);

        ASSERT_EQ(l.loadplugin(first), 1);
        Options options;
        K::init(l, options, false);
    }
    // Destroyed while loaded: the plugin stays, and was not told to close.
    EXPECT_TRUE(isloaded(first));
    EXPECT_STREQ(traceof(first)->last, K::initname);
    forceunload(first);
    EXPECT_FALSE(isloaded(first));
}

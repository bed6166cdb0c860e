// Shared by the loader tests: where the test plugins are, whether one is
// loaded in the process, and the trace that each of them keeps.
#ifndef TESTS_PLUGINS_PLUGINTEST_H
#define TESTS_PLUGINS_PLUGINTEST_H

#include "calltrace.h"
#include "proxytypes_def.h"
#include "syslog_listener.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <syslog.h>

#include <string>

inline std::string pluginpath(const char *name)
{
    return std::string(TESTPLUGIN_DIR "/") + name + ".so";
}

// True when the plugin is mapped in the process; asks without loading it.
inline bool isloaded(const std::string &path)
{
    void *h = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!h)
        return false;
    dlclose(h);
    return true;
}

// The trace of a plugin that is loaded; valid while it stays loaded.
inline calltrace *traceof(const std::string &path)
{
    void *h = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!h)
        return nullptr;
    calltrace *t = static_cast<calltrace *>(dlsym(h, "plugintrace"));
    dlclose(h);
    return t;
}

// Drops every reference the process holds, for tests that leave a plugin
// loaded on purpose.
inline void forceunload(const std::string &path)
{
    for (int i = 0; i < 16; i++) {
        void *h = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (!h)
            return;
        dlclose(h);
        dlclose(h);
    }
}

// Each test starts with an empty log.
class PluginTest : public ::testing::Test
{
protected:
    void SetUp() override { takelog(); }

    // Expects exactly one line, at LOG_ERR in the host's facility, and
    // returns its text.
    static std::string onlylogline()
    {
        std::vector<LogLine> lines = takelog();
        EXPECT_EQ(lines.size(), 1u);
        if (lines.empty())
            return "";
        EXPECT_EQ(lines[0].priority, LOG_LOCAL1 | LOG_ERR) << lines[0].raw;
        return lines[0].text;
    }
    static void expectnolog()
    {
        std::vector<LogLine> lines = takelog();
        EXPECT_TRUE(lines.empty()) << lines[0].raw;
    }
};

#endif

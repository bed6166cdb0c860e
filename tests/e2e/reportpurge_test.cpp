// reportpurge as installed: the web-server user asks for one report backup
// to be deleted; rm is the real one, so the files themselves tell.
#include "appliance.h"

#include <gtest/gtest.h>

using namespace appliance;

namespace {

const std::string kBackup = "/var/log/sarg/backup/";
const char kRefused[] = "\nInvalid filename given.\n\n";

class Reportpurge : public ::testing::Test {
protected:
    void SetUp() override
    {
        clear_trace();
        clear_standins();
        remove_path("/var/log/sarg/backup");
        make_dir("/var/log/sarg/backup");
        for (const char *name : {"report-2024-01.tar.gz", "report-2024-02.tar.gz", "a", "b"})
            write_file(kBackup + name, "saved report\n", 0600);
    }

    // The backup directory's names, as a sorted list.
    std::vector<std::string> backups()
    {
        std::vector<std::string> names;
        for (const auto &entry : listing({"/var/log/sarg/backup"}))
            names.push_back(entry.first.substr(kBackup.size()));
        return names;
    }

    Result purge(const std::vector<std::string> &args, const std::string &cwd = "/")
    {
        Start start;
        start.args = args;
        start.cwd = cwd;
        return run("reportpurge", start);
    }
};

} // namespace

TEST_F(Reportpurge, DeletesOneBackupSilently)
{
    Result r = purge({"report-2024-01.tar.gz"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(backups(), (std::vector<std::string>{"a", "b", "report-2024-02.tar.gz"}));
    EXPECT_TRUE(trace().empty());

    make_dir("/var/log/sarg/backup/a-dir");
    r = purge({"a-dir"});
    EXPECT_EQ(r.code(), 1) << "rm -f refuses a directory, silently";
    EXPECT_EQ(r.out + r.err, "");
}

TEST_F(Reportpurge, MissingBackupAndEmptyNameAreSilentSuccesses)
{
    std::vector<std::string> before = backups();
    for (const char *name : {"no-such-report", ""}) {
        SCOPED_TRACE(std::string("name '") + name + "'");
        Result r = purge({name});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(backups(), before);
        EXPECT_TRUE(exists("/var/log/sarg/backup"));
    }
}

TEST_F(Reportpurge, WrongArgumentCountGivesUsageAndDeletesNothing)
{
    std::vector<std::string> before = backups();
    Result none = purge({});
    EXPECT_EQ(none.code(), 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "\nNo argument given.\n\nreportpurge (filename to delete)\n\n");

    Result two = purge({"a", "b"});
    EXPECT_EQ(two.code(), 1);
    EXPECT_EQ(two.out, "");
    EXPECT_EQ(two.err, "\nToo many arguments given.\n\n");
    EXPECT_EQ(backups(), before);
}

TEST_F(Reportpurge, NamesUpTo56BytesAreTaken)
{
    std::string longest(56, 'n');
    // The longest name in its longest quoted form still fits.
    std::string quotes = std::string(55, '\'') + "q";
    std::string too_long(57, 'n');
    for (const std::string &name : {longest, quotes, too_long})
        write_file(kBackup + name, "");

    EXPECT_EQ(purge({longest}).status, 0);
    EXPECT_FALSE(exists(kBackup + longest));
    EXPECT_EQ(purge({quotes}).status, 0);
    EXPECT_FALSE(exists(kBackup + quotes));

    Result r = purge({too_long});
    EXPECT_EQ(r.code(), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kRefused);
    EXPECT_TRUE(exists(kBackup + too_long));
}

TEST_F(Reportpurge, NamesOutsideTheBackupDirectoryAreRefused)
{
    write_file("/var/log/rrd/eth0.rrd", "");
    write_file(kBackup + "sub/file", "");
    auto before = listing({"/var/log"});
    for (const char *name : {".", "..", "../../rrd/eth0.rrd", "sub/file", "/", "a/", "/a"}) {
        SCOPED_TRACE(name);
        Result r = purge({name});
        EXPECT_EQ(r.code(), 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kRefused);
    }
    EXPECT_EQ(listing({"/var/log"}), before);
}

TEST_F(Reportpurge, TheNameIsOneLiteralFileName)
{
    // Blanks do not split it (the second word would be taken relative to
    // the caller's directory), a glob matches only itself, a leading
    // hyphen is no option.
    make_dir("/tmp/cwd");
    write_file("/tmp/cwd/b", "");
    for (const char *name : {"a b", "*", "-rf", "$HOME", "it's"})
        write_file(kBackup + name, "");
    for (const char *name : {"a b", "*", "-rf", "$HOME", "it's"}) {
        SCOPED_TRACE(name);
        Result r = purge({name}, "/tmp/cwd");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(exists(kBackup + name));
    }
    EXPECT_EQ(backups(), (std::vector<std::string>{"a", "b", "report-2024-01.tar.gz",
                                                   "report-2024-02.tar.gz"}));
    EXPECT_TRUE(exists("/tmp/cwd/b"));
}

// graphwipe as installed: the real rm deletes a graph's files, and for the
// order of the three commands a recording stand-in takes rm's place.
#include "appliance.h"

#include <gtest/gtest.h>

using namespace appliance;

namespace {

const char kRefused[] = "\nInvalid graph name given.\n\n";
const std::vector<std::string> kDirs = {"/var/log/rrd", "/var/log/grevik",
                                        "/home/httpd/html/graphs"};

class Graphwipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        clear_trace();
        clear_standins();
        for (const std::string &dir : kDirs) {
            remove_path(dir);
            make_dir(dir);
        }
        for (const char *path :
             {"/var/log/rrd/eth0.rrd", "/var/log/rrd/eth1.rrd", "/var/log/grevik/eth0.log",
              "/var/log/grevik/eth1.log", "/home/httpd/html/graphs/eth0-day.png",
              "/home/httpd/html/graphs/eth0-week.png", "/home/httpd/html/graphs/eth1-day.png",
              "/home/httpd/html/graphs/eth0.png", "/home/httpd/html/graphs/eth00-day.png"})
            write_file(path, "graph data\n");
    }

    Result wipe(const std::vector<std::string> &args)
    {
        Start start;
        start.args = args;
        return run("graphwipe", start);
    }

    std::vector<std::string> files()
    {
        std::vector<std::string> paths;
        for (const auto &entry : listing(kDirs))
            paths.push_back(entry.first);
        return paths;
    }
};

const std::vector<std::string> kAfterEth0 = {
    "/home/httpd/html/graphs/eth0.png", "/home/httpd/html/graphs/eth00-day.png",
    "/home/httpd/html/graphs/eth1-day.png", "/var/log/grevik/eth1.log", "/var/log/rrd/eth1.rrd"};

// Puts a recording stand-in in place of /bin/rm for one test.
class RmStandin {
public:
    RmStandin() : real_(read_file("/usr/bin/rm"))
    {
        write_file("/usr/bin/rm", read_file("/usr/local/bin/chatwarden"), 0755);
    }
    ~RmStandin() { write_file("/usr/bin/rm", real_, 0755); }

private:
    std::string real_;
};

} // namespace

TEST_F(Graphwipe, DeletesOneGraphsDatabaseLogAndImages)
{
    for (const auto &args : {std::vector<std::string>{"eth0"}, std::vector<std::string>{"eth0", "extra"}}) {
        SCOPED_TRACE(args.size());
        SetUp();
        Result r = wipe(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(files(), kAfterEth0);
    }
}

TEST_F(Graphwipe, RunsTheThreeCommandsInOrderAsRoot)
{
    RmStandin standin;
    Start start;
    start.args = {"eth0"};
    start.env.push_back("IFS=/");
    Result r = run("graphwipe", start);
    EXPECT_EQ(r.code(), 1) << "the stand-in deleted nothing";
    std::vector<Record> seen = trace();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].argv, (std::vector<std::string>{"/bin/rm", "/var/log/rrd/eth0.rrd"}));
    EXPECT_EQ(seen[1].argv, (std::vector<std::string>{"/bin/rm", "/var/log/grevik/eth0.log"}));
    // The images' glob was expanded by the shell.
    EXPECT_EQ(seen[2].argv,
              (std::vector<std::string>{"/bin/rm", "/home/httpd/html/graphs/eth0-day.png",
                                        "/home/httpd/html/graphs/eth0-week.png"}));
    for (size_t i = 0; i < seen.size(); i++) {
        EXPECT_EQ(seen[i].uid, (std::vector<long>{0, 0, 0, 0}));
        EXPECT_EQ(seen[i].fds[1], "/dev/null");
        ASSERT_TRUE(seen[i].finished);
        if (i > 0) {
            EXPECT_LT(seen[i - 1].exit_seq, seen[i].begin_seq);
        }
    }
}

TEST_F(Graphwipe, MissingFilesDoNotStopTheOthers)
{
    remove_path("/var/log/rrd/eth0.rrd");
    remove_path("/var/log/grevik/eth0.log");
    Result r = wipe({"eth0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(files(), kAfterEth0);
    // rm's own complaints reach the caller.
    EXPECT_NE(r.err.find("eth0.rrd"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("eth0.log"), std::string::npos) << r.err;

    Result again = wipe({"eth0"});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.err.find("eth0-*.png"), std::string::npos) << again.err;

    make_dir("/home/httpd/html/graphs/eth0-x.png");
    EXPECT_EQ(wipe({"eth0"}).code(), 1) << "an image rm could not delete";
}

TEST_F(Graphwipe, NoArgumentIsRefused)
{
    std::vector<std::string> before = files();
    Result r = wipe({});
    EXPECT_EQ(r.code(), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\nNo argument given.\n\ngraphwipe (graph name)\n\n");
    EXPECT_EQ(files(), before);
}

TEST_F(Graphwipe, NamesWithASlashAreRefused)
{
    auto before = listing({"/var/log", "/home"});
    for (const char *name : {"../rrd/eth0", "eth0/x", "/", "../../../var/log/rrd/eth1"}) {
        SCOPED_TRACE(name);
        Result r = wipe({name});
        EXPECT_EQ(r.code(), 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kRefused);
    }
    EXPECT_EQ(listing({"/var/log", "/home"}), before);
}

TEST_F(Graphwipe, TheEmptyNameIsRefused)
{
    // It names no graph: its lines would delete ".rrd", ".log" and every
    // image beginning with a hyphen.
    write_file("/var/log/rrd/.rrd", "x");
    write_file("/home/httpd/html/graphs/-day.png", "x");
    auto before = listing({"/var/log", "/home"});
    Result r = wipe({""});
    EXPECT_EQ(r.code(), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kRefused);
    EXPECT_EQ(listing({"/var/log", "/home"}), before);
    EXPECT_TRUE(trace().empty());
}

TEST_F(Graphwipe, NameThatWouldCutALineIsRefused)
{
    // The images' line is the longest: 50 fixed characters and the quoted
    // name (two quotes more), at most 1022 in all. A single quote inside
    // costs three more.
    RmStandin standin;
    struct Case {
        std::string name;
        bool taken;
    };
    // 900 control bytes grow four times when escaped in the records.
    std::string control;
    for (int i = 0; i < 900; i++)
        control += static_cast<char>(1 + i % 31);
    for (const Case &c : {Case{std::string(970, 'g'), true}, Case{std::string(971, 'g'), false},
                          Case{"'" + std::string(966, 'g'), true},
                          Case{"'" + std::string(967, 'g'), false}, Case{control, true}}) {
        SCOPED_TRACE(c.name.size());
        clear_trace();
        SystemLog log;
        Result r = wipe({c.name});
        if (c.taken) {
            EXPECT_EQ(r.status, 0);
            ASSERT_EQ(trace().size(), 3u);
            EXPECT_EQ(trace()[2].argv[1], "/home/httpd/html/graphs/" + c.name + "-*.png");
            // Every record fits a traditional datagram, header and all, and
            // says its status before the caller's text; a cut one says so.
            ASSERT_EQ(log.lines().size(), 6u);
            for (size_t i = 0; i < 6; i++) {
                const std::string &line = log.lines()[i];
                EXPECT_LE(line.size(), 1024u);
                EXPECT_EQ(line.find("status=") < line.find("command="), i % 2 == 1) << line;
                std::string end = line.substr(line.size() - std::min<size_t>(line.size(), 9));
                EXPECT_TRUE(end == "\" cut=yes" || (end.back() == '"' && c.name != control)) << line;
            }
        } else {
            EXPECT_EQ(r.code(), 1);
            EXPECT_EQ(r.err, kRefused);
            EXPECT_TRUE(trace().empty());
        }
    }
}

TEST_F(Graphwipe, NothingInTheNameExpands)
{
    for (const char *name : {"eth0*", "eth*", "eth0 eth1", "{eth0,eth1}", "$NAME"}) {
        SCOPED_TRACE(name);
        Start start;
        start.args = {name};
        start.env.push_back("NAME=eth0");
        Result r = run("graphwipe", start);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(files().size(), 9u);
    }
    write_file("/var/log/rrd/eth* x.rrd", "");
    write_file("/home/httpd/html/graphs/eth* x-1.png", "");
    EXPECT_EQ(wipe({"eth* x"}).status, 0);
    EXPECT_EQ(files().size(), 9u);
    EXPECT_FALSE(exists("/var/log/rrd/eth* x.rrd"));
    EXPECT_FALSE(exists("/home/httpd/html/graphs/eth* x-1.png"));
}

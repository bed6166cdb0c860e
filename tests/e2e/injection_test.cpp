// Hostile strings from the corpus, handed as the argument of every helper
// that passes a caller's text to the root shell. Whatever the string, only
// the helper's own fixed command may run, and no file but the one meant
// may change: the canaries (files the strings would create, stand-ins they
// would run, decoy files they would delete) must stay as they were.
#include "appliance.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <set>

using namespace appliance;

namespace {

// Everything the appliance keeps to itself. (The host's own directories,
// seen through the sandbox's overlays, can change under the test by other
// programs of the host; every canary aims inside these trees.)
const std::vector<std::string> kTrees = {"/var/korvane", "/var/log/sarg", "/var/log/rrd",
                                         "/var/log/grevik", "/var/log/velgrin", "/home/httpd",
                                         "/run", "/tmp", "/usr/local/bin", "/usr/local/sbin"};

std::map<std::string, std::string> appliance_state()
{
    auto state = listing(kTrees);
    // The trace is checked on its own.
    state.erase("/run/appliance/trace");
    return state;
}

// Makes an empty file; false when the name cannot exist (too long).
bool create(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd == -1)
        return false;
    close(fd);
    return true;
}

// The paths that differ between two listings, one a line.
std::string changes(const std::map<std::string, std::string> &before,
                    const std::map<std::string, std::string> &after)
{
    std::string out;
    for (const auto &entry : before) {
        auto now = after.find(entry.first);
        if (now == after.end())
            out += "gone: " + entry.first + "\n";
        else if (now->second != entry.second)
            out += "changed: " + entry.first + " (" + entry.second + " -> " + now->second + ")\n";
    }
    for (const auto &entry : after) {
        if (before.count(entry.first) == 0)
            out += "new: " + entry.first + "\n";
    }
    return out;
}

std::string printable(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out.size() > 120 ? out.substr(0, 120) + "... (" + std::to_string(s.size()) + " bytes)"
                            : out;
}

class Injection : public ::testing::Test {
protected:
    void SetUp() override
    {
        clear_trace();
        clear_standins();
        corpus_ = injection_corpus();
        ASSERT_GE(corpus_.size(), 50u);
        // Decoys that a glob, a path or a stray rm would reach.
        for (const char *path :
             {"/var/log/sarg/backup/report-1.tar.gz", "/var/log/sarg/backup/.hidden",
              "/var/log/sarg/backup/a", "/var/log/rrd/eth0.rrd", "/var/log/rrd/eth1.rrd",
              "/var/log/grevik/eth0.log", "/home/httpd/html/graphs/eth0-day.png",
              "/home/httpd/html/graphs/eth1-day.png", "/var/korvane/proxy/enable"})
            write_file(path, "keep\n");
        make_dir("/tmp/cwd");
        write_file("/tmp/cwd/eth0", "keep\n");
    }

    // Runs `program` with the one argument `s` from an innocuous working
    // directory, then checks that exactly `meant` disappeared from the
    // appliance and nothing else changed.
    Result run_one(const std::string &program, const std::string &s,
                   const std::set<std::string> &meant)
    {
        auto before = appliance_state();
        for (const std::string &path : meant)
            EXPECT_EQ(before.count(path), 1u) << path;
        clear_trace();
        Start start;
        start.args = {s};
        start.cwd = "/tmp/cwd";
        SystemLog log;
        Result r = run(program, start);
        records_ = log.tagged(program);
        auto after = appliance_state();
        for (const std::string &path : meant)
            before.erase(path);
        EXPECT_EQ(changes(before, after), "");
        EXPECT_FALSE(exists("/run/appliance/pwned"));
        EXPECT_FALSE(exists("/tmp/pwned"));
        EXPECT_EQ(r.out, "");
        return r;
    }

    // The audit records of the last run: `commands` of them when the
    // string was taken, else one refusal that shows it (cut at 256 bytes).
    // Each is one line of fields, whatever the string held.
    void expect_records(const std::string &s, bool taken, size_t commands, const char *reason)
    {
        ASSERT_EQ(records_.size(), taken ? 2 * commands : 1u);
        std::map<std::string, std::string> record = audit_fields(records_[0]);
        EXPECT_EQ(record["user"] + " " + record["uid"], "www-data 33") << records_[0];
        if (!taken) {
            EXPECT_EQ(record["refused"], reason);
            EXPECT_EQ(record["argument"], s.substr(0, 256));
            EXPECT_EQ(record.count("cut"), s.size() > 256 ? 1u : 0u);
        }
    }

    std::vector<std::string> corpus_;
    std::vector<std::string> records_;
};

size_t quotes(const std::string &s)
{
    size_t n = 0;
    for (char c : s)
        n += c == '\'';
    return n;
}

} // namespace

TEST_F(Injection, Reportpurge)
{
    for (const std::string &s : corpus_) {
        SCOPED_TRACE(printable(s));
        bool taken = s.find('/') == std::string::npos && s != "." && s != ".." && s.size() <= 56;
        std::set<std::string> meant;
        if (taken && !s.empty() && create("/var/log/sarg/backup/" + s))
            meant.insert("/var/log/sarg/backup/" + s);
        Result r = run_one("reportpurge", s, meant);
        EXPECT_EQ(r.code(), taken ? 0 : 1);
        EXPECT_EQ(r.err, taken ? "" : "\nInvalid filename given.\n\n");
        EXPECT_TRUE(trace().empty());
        expect_records(s, taken, 1, "Invalid filename given.");
    }
}

TEST_F(Injection, Graphwipe)
{
    for (const std::string &s : corpus_) {
        SCOPED_TRACE(printable(s));
        // The images' line: 50 fixed characters and the quoted name.
        bool taken = !s.empty() && s.find('/') == std::string::npos &&
                     50 + s.size() + 2 + 3 * quotes(s) <= 1022;
        std::set<std::string> meant;
        if (taken) {
            for (const std::string &path :
                 {"/var/log/rrd/" + s + ".rrd", "/var/log/grevik/" + s + ".log",
                  "/home/httpd/html/graphs/" + s + "-1.png", "/home/httpd/html/graphs/" + s + "-b.png"}) {
                if (create(path))
                    meant.insert(path);
            }
        }
        Result r = run_one("graphwipe", s, meant);
        EXPECT_EQ(r.code(), taken ? 0 : 1);
        if (!taken) {
            EXPECT_EQ(r.err, "\nInvalid graph name given.\n\n");
        }
        EXPECT_TRUE(trace().empty());
        expect_records(s, taken, 3, "Invalid graph name given.");
    }
}

TEST_F(Injection, Rulepass)
{
    for (const std::string &s : corpus_) {
        SCOPED_TRACE(printable(s));
        std::vector<std::string> words;
        bool taken = rulepass_words(s, words);
        Result r = run_one("rulepass", s, {});
        expect_records(s, taken, 1, "Invalid iptables arguments given.");
        std::vector<Record> seen = trace();
        if (taken) {
            EXPECT_EQ(r.code(), 0);
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].name, "iptables");
            words.insert(words.begin(), "/sbin/iptables");
            EXPECT_EQ(seen[0].argv, words);
        } else {
            EXPECT_EQ(r.code(), 1);
            EXPECT_EQ(r.err, "\nInvalid iptables arguments given.\n\n");
            EXPECT_TRUE(seen.empty());
        }
    }
}

// rulepass against the real iptables (nf_tables back end) in a network
// namespace of the test's own: rules land in the namespace's tables as the
// pages ask, a failing command gives iptables' own exit code, and no
// option list from the injection corpus changes a table in any other way
// than iptables itself would with the words it was meant to get.
#include "appliance.h"
#include "realtier.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

using namespace appliance;
using realtier::as_root;

namespace {

const char kIptables[] = "/sbin/iptables";
const char kRefused[] = "\nInvalid iptables arguments given.\n\n";

// Empty filter and nat tables with every policy ACCEPT, user chains gone.
const char kEmpty[] = "*filter\n:INPUT ACCEPT\n:FORWARD ACCEPT\n:OUTPUT ACCEPT\nCOMMIT\n"
                      "*nat\n:PREROUTING ACCEPT\n:INPUT ACCEPT\n:OUTPUT ACCEPT\n"
                      ":POSTROUTING ACCEPT\nCOMMIT\n";

void empty_tables()
{
    Result r = as_root({"/usr/sbin/iptables-restore"}, kEmpty);
    ASSERT_EQ(r.status, 0) << r.err;
}

// One table as iptables lists it, without the policies an empty table has.
std::vector<std::string> listed(const std::string &table)
{
    Result r = as_root({kIptables, "-t", table, "-S"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 3, "-P ") != 0 || line.compare(line.size() - 7, 7, " ACCEPT") != 0)
            lines.push_back(line);
    }
    return lines;
}

// Every table that exists, all chains, rules and policies.
std::string all_tables()
{
    Result r = as_root({"/usr/sbin/iptables-save"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string out;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 1, "#") != 0)  // the stamps of the run
            out += line + "\n";
    }
    return out;
}

Result pass(const std::string &options)
{
    Start start;
    start.args = {options};
    return run("rulepass", start);
}

class RealIptables : public ::testing::Test {
protected:
    static void SetUpTestSuite() { realtier::private_network(); }
    void SetUp() override
    {
        clear_trace();
        empty_tables();
    }
    void TearDown() override { EXPECT_TRUE(trace().empty()) << "a stand-in ran"; }
};

} // namespace

TEST_F(RealIptables, RulesLandAsAsked)
{
    struct Case {
        const char *what;
        std::vector<std::string> calls;  // rulepass arguments, in order
        const char *table;
        std::vector<std::string> rules;  // iptables -S afterwards
    };
    const Case cases[] = {
        {"addresses, ports, negation",
         {"-A INPUT -s 192.168.10.0/24 ! -d 10.0.0.1 -p tcp --dport 22 -j ACCEPT"},
         "filter",
         {"-A INPUT -s 192.168.10.0/24 ! -d 10.0.0.1/32 -p tcp -m tcp --dport 22 -j ACCEPT"}},
        {"interfaces and multiport",
         {"-A FORWARD -i eth0 -o eth1 -p udp -m multiport --dports 53,123,5000:5100 -j ACCEPT"},
         "filter",
         {"-A FORWARD -i eth0 -o eth1 -p udp -m multiport --dports 53,123,5000:5100 -j ACCEPT"}},
        {"iprange", {"-A INPUT -m iprange --src-range 10.0.0.10-10.0.0.20 -j DROP"}, "filter",
         {"-A INPUT -m iprange --src-range 10.0.0.10-10.0.0.20 -j DROP"}},
        {"conntrack states",
         {"-A INPUT -m conntrack --ctstate RELATED,ESTABLISHED -j ACCEPT",
          "-A INPUT ! -i lo -m conntrack --ctstate INVALID -j DROP"},
         "filter",
         {"-A INPUT -m conntrack --ctstate RELATED,ESTABLISHED -j ACCEPT",
          "-A INPUT ! -i lo -m conntrack --ctstate INVALID -j DROP"}},
        {"quoted comments",
         {"-A INPUT -p tcp --dport 443 -m comment --comment 'web ui' -j ACCEPT",
          "-A INPUT -m comment --comment \"admin's rule\" -j ACCEPT"},
         "filter",
         {"-A INPUT -p tcp -m tcp --dport 443 -m comment --comment \"web ui\" -j ACCEPT",
          "-A INPUT -m comment --comment \"admin\\'s rule\" -j ACCEPT"}},
        {"log prefix with a blank",
         {"-A INPUT -p tcp --syn -j LOG --log-prefix \"DROP: \" --log-level 6"},
         "filter",
         {"-A INPUT -p tcp -m tcp --tcp-flags FIN,SYN,RST,ACK SYN -j LOG --log-prefix \"DROP: \" "
          "--log-level 6"}},
        {"marks",
         {"-A FORWARD -m mark --mark 0x2/0xff -j ACCEPT", "-A INPUT -m mark ! --mark 1 -j RETURN"},
         "filter",
         {"-A INPUT -m mark ! --mark 0x1 -j RETURN", "-A FORWARD -m mark --mark 0x2/0xff -j ACCEPT"}},
        {"a chain of its own, inserted first",
         {"-A FORWARD -j DROP", "-N PORTFW", "-A PORTFW -p tcp --dport 8080 -j ACCEPT",
          "-I FORWARD 1 -j PORTFW"},
         "filter",
         {"-N PORTFW", "-A FORWARD -j PORTFW", "-A FORWARD -j DROP",
          "-A PORTFW -p tcp -m tcp --dport 8080 -j ACCEPT"}},
        {"delete one rule of two",
         {"-A INPUT -s 10.1.1.1 -j DROP", "-A INPUT -s 10.1.1.2 -j DROP",
          "-D INPUT -s 10.1.1.1 -j DROP"},
         "filter",
         {"-A INPUT -s 10.1.1.2/32 -j DROP"}},
        {"statistic", {"-A INPUT -m statistic --mode random --probability 0.5 -j DROP"}, "filter",
         {"-A INPUT -m statistic --mode random --probability 0.50000000000 -j DROP"}},
        {"policy", {"-P FORWARD DROP"}, "filter", {"-P FORWARD DROP"}},
        {"masquerade", {"-t nat -A POSTROUTING -s 10.1.0.0/16 -o eth1 -j MASQUERADE"}, "nat",
         {"-A POSTROUTING -s 10.1.0.0/16 -o eth1 -j MASQUERADE"}},
        {"port forward",
         {"-t nat -A PREROUTING -i eth0 -p tcp --dport 8080 -j DNAT --to-destination 10.1.0.5:80"},
         "nat",
         {"-A PREROUTING -i eth0 -p tcp -m tcp --dport 8080 -j DNAT --to-destination 10.1.0.5:80"}},
        {"transparent proxy and source address",
         {"-t nat -A PREROUTING -i eth1 -p tcp --dport 80 -j REDIRECT --to-ports 8080",
          "-t nat -A POSTROUTING -o eth0 -j SNAT --to-source 192.0.2.1"},
         "nat",
         {"-A PREROUTING -i eth1 -p tcp -m tcp --dport 80 -j REDIRECT --to-ports 8080",
          "-A POSTROUTING -o eth0 -j SNAT --to-source 192.0.2.1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        empty_tables();
        for (const std::string &call : c.calls) {
            Result r = pass(call);
            EXPECT_EQ(r.status, 0) << call << ": " << r.err;
            EXPECT_EQ(r.out, "");
        }
        EXPECT_EQ(listed(c.table), c.rules);
        EXPECT_EQ(listed(std::string(c.table) == "nat" ? "filter" : "nat"),
                  std::vector<std::string>{});
    }
}

TEST_F(RealIptables, AFailingCommandGivesIptablesOwnExitCode)
{
    struct Case {
        const char *options;
        int code;
    };
    for (const Case &c : {Case{"-X NOSUCHCHAIN", 1}, Case{"-D INPUT -s 10.9.9.9 -j DROP", 1},
                          Case{"-A INPUT -j NOSUCHCHAIN", 2}, Case{"-A INPUT --dport 22 -j ACCEPT", 2},
                          Case{"-A INPUT -s 300.1.1.1 -j ACCEPT", 2},
                          Case{"-A INPUT -m comment --comment '' -j ACCEPT -x", 2},
                          Case{"-t nosuchtable -L", 3}, Case{"", 2}}) {
        SCOPED_TRACE(c.options);
        std::string before = all_tables();
        Result r = pass(c.options);
        EXPECT_EQ(r.code(), c.code);
        EXPECT_EQ(r.err.compare(0, 8, "iptables"), 0) << r.err;
        EXPECT_EQ(all_tables(), before);
    }
}

TEST_F(RealIptables, CorpusChangesTablesOnlyAsIptablesWouldWithItsWords)
{
    for (const std::string &s : injection_corpus()) {
        SCOPED_TRACE(s.substr(0, 120));
        empty_tables();
        std::string before = all_tables();
        Result r = pass(s);
        std::string after = all_tables();
        EXPECT_FALSE(exists("/run/appliance/pwned"));
        EXPECT_FALSE(exists("/tmp/pwned"));

        std::vector<std::string> words;
        if (!rulepass_words(s, words)) {
            EXPECT_EQ(r.code(), 1);
            EXPECT_EQ(r.err, kRefused);
            EXPECT_EQ(after, before);
            continue;
        }
        // The same words handed to iptables directly, without a shell.
        empty_tables();
        words.insert(words.begin(), kIptables);
        Result direct = as_root(words);
        EXPECT_EQ(r.code(), direct.code());
        EXPECT_EQ(after, all_tables());
    }
}

// The machine's own rsyslog, started here (the sandbox's own /dev/log),
// files the audit records in its auth.log: a rule change, a failing
// command and a refusal, each with who asked.
TEST_F(RealIptables, AuditRecordsReachRsyslogsAuthLog)
{
    make_dir("/run/rsyslog-real");
    write_file("/run/rsyslog-real/rsyslog.conf", "module(load=\"imuxsock\")\n"
                                                 "authpriv.* /run/rsyslog-real/auth.log\n");
    pid_t rsyslogd = fork();
    if (rsyslogd == 0) {
        execl("/usr/sbin/rsyslogd", "rsyslogd", "-n", "-f", "/run/rsyslog-real/rsyslog.conf", "-i",
              "/run/rsyslog-real/pid", static_cast<char *>(nullptr));
        _exit(127);
    }
    EXPECT_TRUE(realtier::eventually([] { return exists("/dev/log"); }, 10));
    EXPECT_EQ(pass("-A INPUT -j ACCEPT").status, 0);
    EXPECT_EQ(pass("-X NOSUCHCHAIN").code(), 1);
    EXPECT_EQ(pass("-L; id").code(), 1);
    const std::vector<std::string> expected = {
        "user=www-data uid=33 command=\"/sbin/iptables '-A' 'INPUT' '-j' 'ACCEPT'\"",
        "user=www-data uid=33 status=0 command=\"/sbin/iptables '-A' 'INPUT' '-j' 'ACCEPT'\"",
        "user=www-data uid=33 command=\"/sbin/iptables '-X' 'NOSUCHCHAIN'\"",
        "user=www-data uid=33 status=1 command=\"/sbin/iptables '-X' 'NOSUCHCHAIN'\"",
        "user=www-data uid=33 refused=\"Invalid iptables arguments given.\" argument=\"-L; id\""};
    std::vector<std::string> filed;
    realtier::eventually([&] {
        filed.clear();
        std::ifstream log("/run/rsyslog-real/auth.log");
        for (std::string line; std::getline(log, line);) {  // "stamp host rulepass[PID]: fields"
            if (line.find(" rulepass[") != std::string::npos)
                filed.push_back(line.substr(line.find("]: ") + 3));
        }
        return filed.size() >= expected.size();
    }, 10);
    EXPECT_EQ(filed, expected);
    kill(rsyslogd, SIGTERM);
    EXPECT_EQ(waitpid(rsyslogd, nullptr, 0), rsyslogd);
}

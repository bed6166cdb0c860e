// failswitch against the real ucarp. Two failover appliances, each a
// sandbox appliance of its own with the real daemon and the real system-log
// client: own mount, pid and network namespaces, side by side inside this
// test's sandbox (neither sees the other's processes, so each pid capture
// finds only its own daemon), joined by a veth pair. Both are started with
// the same virtual host id, address and password: one becomes master and
// runs its up script, the other stays backup until the master is stopped.
#include "appliance.h"
#include "realtier.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <vector>

using namespace appliance;
using realtier::as_root;
using realtier::eventually;

namespace {

const char kIface[] = "eth1";  // the same name on both sides
const char kVirtual[] = "10.77.0.100";
const char kFlag[] = "/var/korvane/ucarp/settings/enable";
const char kPidFile[] = "/var/run/ucarp.pid";
const char kEvents[] = "/run/failover.events";
const char kHeld[] = "/run/appliance/held";
const char kStarting[] = "Starting ucarpd................";
const char kStopping[] = "Stopping ucarpd................";

// The appliance's scripts: ucarp runs them with the interface and the
// virtual address; failswitch runs the down script with "stop" alone
// after it has killed the daemon, so that one knows the address itself.
const std::string kUp = std::string("#!/bin/sh\necho \"up $*\" >> ") + kEvents +
                        "\nip addr add \"$2\"/24 dev \"$1\"\n";
const std::string kDown = std::string("#!/bin/sh\necho \"down $*\" >> ") + kEvents +
                          "\nif [ \"$1\" = stop ]; then set -- " + kIface + " " + kVirtual +
                          "; fi\nip addr del \"$2\"/24 dev \"$1\" 2>/dev/null\nexit 0\n";

// pid 1 of a failover side: reaps whatever is handed to it (the daemon,
// once killed) until the test ends the side with SIGTERM.
extern "C" void onchild(int /*sig*/) {}
extern "C" void onterm(int /*sig*/)
{
    _exit(0);
}

int hold()
{
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child, nullptr);
    signal(SIGCHLD, onchild);
    signal(SIGTERM, onterm);
    write_file(kHeld, "");
    sigset_t none;
    sigemptyset(&none);
    for (;;) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        sigsuspend(&none);
    }
}

const char *const kNamespaces[] = {"net", "mnt", "pid"};

struct Side {
    std::string srcip;
    pid_t launcher = -1;  // forked here; it runs the sandbox script
    pid_t holder = -1;    // pid 1 of the side, as numbered here
    int ns[3] = {-1, -1, -1};
    std::unique_ptr<realtier::SystemLog> log;
};

int own_ns[3] = {-1, -1, -1};

void join(const int fds[3])
{
    for (int i = 0; i < 3; i++) {
        if (setns(fds[i], 0) != 0) {
            // Half inside a side nothing the test does means anything.
            perror("setns");
            abort();
        }
    }
}

// While one exists, this process's files and network are the side's, and
// the processes it starts begin in the side's pid namespace.
class Inside {
public:
    explicit Inside(const Side &side) { join(side.ns); }
    ~Inside() { join(own_ns); }
    Inside(const Inside &) = delete;
    Inside &operator=(const Inside &) = delete;
};

// The whole log, for a failure's message.
std::string everything(realtier::SystemLog &log)
{
    std::string out;
    for (const std::string &line : log.lines())
        out += line + "\n";
    return out;
}

std::string self_exe()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    path[n < 0 ? 0 : n] = '\0';
    return path;
}

// The side's pid 1: the process below the launcher (the sandbox script
// starts it through unshare) that is process 1 of its own pid namespace
// and whose root holds the mark that the holder leaves once the sandbox is
// ready.
pid_t ready_holder(pid_t launcher)
{
    std::vector<pid_t> below = {launcher};
    for (size_t i = 0; i < below.size(); i++) {
        std::string task = "/proc/" + std::to_string(below[i]) + "/task/" + std::to_string(below[i]);
        std::istringstream children(read_file(task + "/children"));
        pid_t child;
        while (children >> child) {
            std::string proc = "/proc/" + std::to_string(child);
            std::string status = read_file(proc + "/status");
            size_t nspid = status.find("\nNSpid:");
            std::string ids = nspid == std::string::npos ? "" : status.substr(nspid, status.find('\n', nspid + 1) - nspid);
            if (ids.size() > 2 && ids.compare(ids.size() - 2, 2, "\t1") == 0 && exists(proc + "/root" + kHeld))
                return child;
            below.push_back(child);
        }
    }
    return -1;
}

void start_side(Side &side, const std::string &exe)
{
    side.launcher = fork();
    ASSERT_NE(side.launcher, -1);
    if (side.launcher == 0) {
        if (unshare(CLONE_NEWNET) != 0)
            _exit(126);
        execl(KORVANE_SANDBOX, KORVANE_SANDBOX, "--build", KORVANE_BUILD_DIR, "--real", "ucarp",
              "--real", "logger", "--", exe.c_str(), "--hold", static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(eventually([&] { return (side.holder = ready_holder(side.launcher)) > 0; }, 120))
        << "the side's sandbox did not come up";
    for (int i = 0; i < 3; i++) {
        std::string path = "/proc/" + std::to_string(side.holder) + "/ns/" + kNamespaces[i];
        side.ns[i] = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(side.ns[i], 0) << path;
    }
}

// Set up once the veth pair exists: address, scripts, enable flag, log.
void prepare_side(Side &side)
{
    Inside in(side);
    for (const std::vector<std::string> &ip :
         {std::vector<std::string>{"/bin/ip", "link", "set", "lo", "up"},
          {"/bin/ip", "addr", "add", side.srcip + "/24", "dev", kIface},
          {"/bin/ip", "link", "set", kIface, "up"}}) {
        Result r = as_root(ip);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    write_file("/var/korvane/ucarp/bin/up.sh", kUp, 0755);
    write_file("/var/korvane/ucarp/bin/down.sh", kDown, 0755);
    write_file(kFlag, "");
    side.log = std::make_unique<realtier::SystemLog>();
}

// The live processes named ucarp in the side, by the side's numbering.
std::vector<pid_t> daemons(const Side &side)
{
    Inside in(side);
    return live_processes("ucarp");
}

bool holds_address(const Side &side)
{
    Inside in(side);
    Result r = as_root({"/bin/ip", "-4", "-o", "addr", "show", "dev", kIface});
    return r.out.find(std::string(" ") + kVirtual + "/") != std::string::npos;
}

std::string side_file(const Side &side, const std::string &path)
{
    Inside in(side);
    return read_file(path);
}

// The last line the up and down scripts wrote.
std::string last_event(const Side &side)
{
    std::istringstream in(side_file(side, kEvents));
    std::string line, last;
    while (std::getline(in, line))
        last = line;
    return last;
}

Result failswitch(const Side &side, const std::vector<std::string> &args)
{
    Inside in(side);
    Start start;
    start.args = args;
    return run("failswitch", start);
}

class RealUcarp : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (left_out_under_emulator("two failover appliances", "the test enters each one's mount namespace, "
                                    "and setns into a mount namespace fails with EINVAL: it runs a second thread"))
            return;
        realtier::private_network();
        for (int i = 0; i < 3; i++) {
            std::string path = std::string("/proc/self/ns/") + kNamespaces[i];
            own_ns[i] = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(own_ns[i], 0);
        }
        std::string exe = self_exe();
        a_.srcip = "10.77.0.1";
        b_.srcip = "10.77.0.2";
        for (Side *side : {&a_, &b_}) {
            start_side(*side, exe);
            if (HasFatalFailure())
                return;
        }
        Result veth = as_root({"/bin/ip", "link", "add", kIface, "netns",
                               std::to_string(a_.holder), "type", "veth", "peer", "name", kIface,
                               "netns", std::to_string(b_.holder)});
        ASSERT_EQ(veth.status, 0) << veth.err;
        prepare_side(a_);
        prepare_side(b_);
    }

    // Ending a side's pid 1 ends everything in its namespaces, the veth
    // pair with them.
    static void TearDownTestSuite()
    {
        for (Side *side : {&a_, &b_}) {
            side->log.reset();
            if (side->holder > 0) {
                kill(side->holder, SIGTERM);
                if (!eventually([&] { return waitpid(side->launcher, nullptr, WNOHANG) != 0; }, 5))
                    kill(side->holder, SIGKILL);
            }
            if (side->launcher > 0)
                waitpid(side->launcher, nullptr, 0);
            for (int &fd : side->ns) {
                if (fd >= 0)
                    close(fd);
                fd = -1;
            }
        }
    }

    void SetUp() override
    {
        if (!emulator().empty())
            GTEST_SKIP() << "left out under " << emulator();
        ASSERT_GT(a_.holder, 0);
        ASSERT_GT(b_.holder, 0);
    }

    void TearDown() override
    {
        if (a_.holder > 0 && b_.holder > 0)
            reset();
    }

    // No daemon, pid file, virtual address, script trace or log line left.
    static void reset()
    {
        for (Side *side : {&a_, &b_})
            reset(*side);
    }

    static void reset(Side &side)
    {
        for (pid_t pid : daemons(side)) {
            // Numbered as the side numbers them: killed from inside.
            Inside in(side);
            as_root({"/bin/kill", "-9", std::to_string(pid)});
        }
        EXPECT_TRUE(eventually([&] { return daemons(side).empty(); }, 10));
        Inside in(side);
        as_root({"/bin/ip", "addr", "del", std::string(kVirtual) + "/24", "dev", kIface});
        remove_path(kPidFile);
        remove_path(kEvents);
        remove_path("/tmp/p");
        side.log = std::make_unique<realtier::SystemLog>();
    }

    // Keeps every side's log drained while waiting: senders must never
    // find the socket full.
    static void drain()
    {
        for (Side *side : {&a_, &b_})
            side->log->drain();
    }

    // Waits until `state` has held for `seconds` on end (three
    // advertisements at advbase 1), at most `limit` seconds in all.
    static bool settles(const std::function<bool()> &state, double seconds, double limit)
    {
        bool holding = false;
        struct timespec since = {0, 0};
        return eventually(
            [&] {
                struct timespec now;
                clock_gettime(CLOCK_MONOTONIC, &now);
                if (!state()) {
                    holding = false;
                    return false;
                }
                if (!holding)
                    since = now;
                holding = true;
                return static_cast<double>(now.tv_sec - since.tv_sec) +
                           static_cast<double>(now.tv_nsec - since.tv_nsec) / 1e9 >=
                       seconds;
            },
            limit, drain);
    }

    static Side a_, b_;
};

Side RealUcarp::a_, RealUcarp::b_;

} // namespace

TEST_F(RealUcarp, OneMasterTakesOverWhenTheOtherStops)
{
    struct Case {
        const char *what;
        std::string pass_a, pass_b;
        bool one_master;  // they authenticate each other
        bool starts = true;
    };
    // ucarp takes at most 19 characters of password, and refuses more.
    const std::string hostile = "'a\" b;$(:>/tmp/p)";
    const std::string twenty(20, 'p');
    for (const Case &c : {Case{"plain password", "s3cret", "s3cret", true},
                          Case{"password with blanks, quotes and shell syntax", hostile, hostile, true},
                          Case{"different passwords", "s3cret", "other", false},
                          Case{"password too long for ucarp", twenty, twenty, false, false}}) {
        SCOPED_TRACE(c.what);
        reset();
        for (Side *side : {&a_, &b_}) {
            const std::string &pass = side == &a_ ? c.pass_a : c.pass_b;
            Result r = failswitch(*side, {"start", kIface, side->srcip, "7", kVirtual, "1", "0",
                                          "3", pass});
            EXPECT_EQ(r.code() == 0, c.starts) << r.err;
            EXPECT_EQ(r.out, std::string(kStarting) + (c.starts ? "Done\n" : "Failed\n"));
            EXPECT_TRUE(!c.starts || r.err.empty()) << r.err;
            EXPECT_EQ(daemons(*side).empty(), !c.starts);
        }
        if (!c.starts)
            continue;
        // Each pid capture found its own daemon, and only it; the password
        // is in the file its last argument names, whole.
        for (Side *side : {&a_, &b_}) {
            std::vector<pid_t> running = daemons(*side);
            ASSERT_EQ(running.size(), 1u) << everything(*side->log);
            EXPECT_EQ(side_file(*side, kPidFile), std::to_string(running[0]) + "\n");
            std::string argv = side_file(*side, "/proc/" + std::to_string(running[0]) + "/cmdline");
            std::string file = "/run/korvane/ucarp.pass", last = argv.substr(argv.rfind('\0', argv.size() - 2) + 1);
            EXPECT_EQ(last + side_file(*side, file), "--passfile=" + file + '\0' + (side == &a_ ? c.pass_a : c.pass_b));
            EXPECT_EQ(side->log->tagged("korvane"),
                      std::vector<std::string>{"ucarp-Server has been started"})
                << everything(*side->log);
        }

        auto masters = [] { return holds_address(a_) + holds_address(b_); };
        if (!c.one_master) {
            EXPECT_TRUE(settles([&] { return masters() == 2; }, 3, 20));
            for (Side *side : {&a_, &b_})
                EXPECT_EQ(last_event(*side), std::string("up ") + kIface + " " + kVirtual);
            continue;
        }
        ASSERT_TRUE(settles([&] { return masters() == 1; }, 3, 20)) << "masters: " << masters();
        Side &master = holds_address(a_) ? a_ : b_;
        Side &backup = &master == &a_ ? b_ : a_;
        EXPECT_EQ(last_event(master), std::string("up ") + kIface + " " + kVirtual);
        EXPECT_NE(last_event(backup).substr(0, 3), "up ");

        Result r = failswitch(master, {"stop"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string(kStopping) + "Done\n");
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(eventually([&] { return daemons(master).empty(); }, 5, drain));
        {
            Inside in(master);
            EXPECT_FALSE(exists(kPidFile));
        }
        EXPECT_EQ(last_event(master), "down stop");
        EXPECT_FALSE(holds_address(master));
        EXPECT_EQ(master.log->tagged("korvane"),
                  (std::vector<std::string>{"ucarp-Server has been started",
                                            "ucarp-Server has been stopped"}));

        // Dead after three missed advertisements of one second each.
        EXPECT_TRUE(eventually([&] { return holds_address(backup); }, 10, drain));
        EXPECT_EQ(last_event(backup), std::string("up ") + kIface + " " + kVirtual);
        EXPECT_EQ(daemons(backup).size(), 1u);
        for (Side *side : {&a_, &b_}) {
            Inside in(*side);
            EXPECT_FALSE(exists("/tmp/p"));
        }
    }
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--hold") == 0)
        return hold();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// proxyreload against the real squid: a proxy with a minimal configuration
// listens on a loopback port of the test's own network namespace. After
// the configuration changes, proxyreload with an enable flag makes it
// re-read the file (its log says so, and it moves to the new port);
// without a flag the proxy goes on as it was.
#include "appliance.h"
#include "realtier.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

using namespace appliance;
using realtier::eventually;

namespace {

const char kGreen[] = "/var/korvane/proxy/enable";
const char kBlue[] = "/var/korvane/proxy/enable_blue";
// squid reads its configuration from the path compiled into it; a tmpfs
// there, in the sandbox's own mount namespace, holds the test's.
const char kConfDir[] = "/etc/squid";
const char kConf[] = "/etc/squid/squid.conf";
const char kWork[] = "/run/squid-real";
const char kCacheLog[] = "/run/squid-real/cache.log";
const char kReconfiguring[] = "Reconfiguring Squid Cache";

// Memory only, nothing looked up outside the namespace, no helpers.
std::string configuration(int port)
{
    std::string work = kWork;
    return "http_port 127.0.0.1:" + std::to_string(port) + "\n" +
           "pid_filename " + work + "/squid.pid\n" +
           "cache_log " + work + "/cache.log\n" +
           "coredump_dir " + work + "\n" +
           "access_log none\n"
           "cache_mem 8 MB\n"
           "netdb_filename none\n"
           "pinger_enable off\n"
           "dns_nameservers 127.0.0.1\n"
           "http_access allow localhost\n"
           "http_access deny all\n"
           "shutdown_lifetime 0 seconds\n";
}

bool listening(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

class RealSquid : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        realtier::private_network();
        if (mount("squidconf", kConfDir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
            throw std::runtime_error("cannot mount a tmpfs on /etc/squid");
        struct passwd *proxy = getpwnam("proxy");
        if (proxy == nullptr)
            throw std::runtime_error("no user proxy");
        make_dir(kWork);
        if (chown(kWork, proxy->pw_uid, proxy->pw_gid) != 0)
            throw std::runtime_error("cannot hand the work directory to proxy");
        write_file(kConf, configuration(port_));

        // In the foreground (-N): one process, ours to end.
        squid_ = fork();
        if (squid_ == 0) {
            const char *const env[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", nullptr};
            execle("/usr/sbin/squid", "squid", "-N", static_cast<char *>(nullptr), env);
            _exit(127);
        }
        if (!eventually([] { return listening(port_); }, 30))
            throw std::runtime_error("squid did not start:\n" + read_file(kCacheLog));
    }

    static void TearDownTestSuite()
    {
        if (squid_ > 0) {
            kill(squid_, SIGKILL);
            waitpid(squid_, nullptr, 0);
        }
        umount(kConfDir);
    }

    void SetUp() override
    {
        remove_path(kGreen);
        remove_path(kBlue);
    }

    static pid_t squid_;
    static int port_;  // where the running proxy listens
};

pid_t RealSquid::squid_ = -1;
int RealSquid::port_ = 3128;

} // namespace

TEST_F(RealSquid, ReloadsOnlyWhenEnabled)
{
    struct Case {
        bool green, blue;
    };
    for (Case c : {Case{false, false}, Case{true, false}, Case{false, true}, Case{true, true}}) {
        SCOPED_TRACE(std::string("green ") + (c.green ? "on" : "off") + ", blue " +
                     (c.blue ? "on" : "off"));
        remove_path(kGreen);
        remove_path(kBlue);
        if (c.green)
            write_file(kGreen, "");
        if (c.blue)
            write_file(kBlue, "");
        int next = port_ + 1;
        write_file(kConf, configuration(next));
        size_t before = count(read_file(kCacheLog), kReconfiguring);

        Result r = run("proxyreload");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");

        if (c.green || c.blue) {
            EXPECT_TRUE(eventually([&] { return listening(next) && !listening(port_); }, 20))
                << read_file(kCacheLog);
            EXPECT_EQ(count(read_file(kCacheLog), kReconfiguring), before + 1);
            port_ = next;
        } else {
            // Nothing to wait for; a second is far longer than a reload takes.
            sleep(1);
            EXPECT_EQ(count(read_file(kCacheLog), kReconfiguring), before);
            EXPECT_TRUE(listening(port_));
            EXPECT_FALSE(listening(next));
        }
        EXPECT_EQ(waitpid(squid_, nullptr, WNOHANG), 0) << "squid ended";
    }
}

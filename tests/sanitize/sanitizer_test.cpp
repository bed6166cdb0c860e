// The sanitizer build catches faults in set-user-ID programs: the canary,
// installed set-user-ID root and started as the web-server user from the
// start states the helpers meet, ends with the sanitizers' status and
// leaves a report, and a clean run leaves none.
#include "appliance.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace appliance;

namespace {

const char kInstalled[] = "/run/appliance/canary/sanitizer_canary";
constexpr int kSanitizerStatus = 86;

// The canary's reports, read and removed so that the check at the end of
// the suite sees only reports of the helpers and tests themselves.
std::string take_canary_reports()
{
    std::string text;
    DIR *dir = opendir(KORVANE_SANITIZER_REPORTS);
    if (dir == nullptr)
        return text;
    std::vector<std::string> mine;
    while (struct dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.find("sanitizer_canary") != std::string::npos)
            mine.push_back(std::string(KORVANE_SANITIZER_REPORTS) + "/" + name);
    }
    closedir(dir);
    for (const std::string &path : mine) {
        text += read_file(path);
        unlink(path.c_str());
    }
    return text;
}

class Sanitizer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        make_dir("/run/appliance/canary");
        write_file(kInstalled, read_file(KORVANE_CANARY), 0755);
        ASSERT_EQ(chown(kInstalled, 0, 0), 0);
        ASSERT_EQ(chmod(kInstalled, 04755), 0);
    }

    void SetUp() override { take_canary_reports(); }
    void TearDown() override { take_canary_reports(); }

    // The start states that could keep a sanitizer from reporting: its
    // output closed, every signal ignored or blocked (SIGCHLD included),
    // a crowd of inherited descriptors, the caller's options in the
    // environment.
    static std::vector<Start> hostile_starts()
    {
        std::vector<Start> starts(5);
        starts[1].close_stdin = starts[1].close_stdout = starts[1].close_stderr = true;
        starts[2].ignore_all_signals = true;
        starts[3].block_all_signals = true;
        starts[4].extra_fds = {3, 4, 5, 200, 1000};
        starts[4].lower_nofile_to = 64;
        return starts;
    }
};

} // namespace

TEST_F(Sanitizer, FaultsInTheSetuidProgramEndItAndLeaveAReport)
{
    struct Case {
        const char *fault, *report;
    };
    for (Case c : {Case{"heap-overflow", "heap-buffer-overflow"},
                   Case{"use-after-free", "heap-use-after-free"},
                   Case{"leak", "detected memory leaks"},
                   Case{"signed-overflow", "UndefinedBehaviorSanitizer"}}) {
        int n = 0;
        for (Start start : hostile_starts()) {
            SCOPED_TRACE(std::string(c.fault) + ", start state " + std::to_string(n++));
            start.args = {c.fault};
            Result r = run(kInstalled, start);
            EXPECT_TRUE(r.exited()) << r.status;
            EXPECT_EQ(r.code(), kSanitizerStatus) << r.err;
            std::string report = take_canary_reports();
            EXPECT_NE(report.find(c.report), std::string::npos) << report;
        }
    }
}

TEST_F(Sanitizer, CleanRunLeavesNoReport)
{
    int n = 0;
    for (const Start &start : hostile_starts()) {
        SCOPED_TRACE("start state " + std::to_string(n++));
        Result r = run(kInstalled, start);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, start.close_stdout ? "" : "clean\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(take_canary_reports(), "");
    }
}

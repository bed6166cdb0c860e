// Times whole program runs, started the way the web server starts a helper
// (as the web-server user), interleaving the programs round by round so
// that drift on the machine affects them all alike. Prints the median
// microseconds per run of each program, one line each, in input order.
//
//   startup_timer ROUNDS UID GID -- PROG [ARG...] [::: PROG [ARG...]]...
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

double now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

double run_once(const std::vector<char *> &argv, uid_t uid, gid_t gid)
{
    double start = now_us();
    pid_t pid = fork();
    if (pid == 0) {
        gid_t groups[] = {gid};
        if (setgroups(1, groups) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0)
            _exit(126);
        char *env[] = {const_cast<char *>("PATH=/usr/bin:/bin"), nullptr};
        execve(argv[0], argv.data(), env);
        _exit(127);
    }
    int status;
    waitpid(pid, &status, 0);
    double took = now_us() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "startup_timer: %s failed (status %d)\n", argv[0], status);
        exit(1);
    }
    return took;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 6 || strcmp(argv[4], "--") != 0) {
        fprintf(stderr, "usage: startup_timer ROUNDS UID GID -- PROG [ARG...] [::: PROG...]...\n");
        return 2;
    }
    int rounds = static_cast<int>(strtol(argv[1], nullptr, 10));
    uid_t uid = static_cast<uid_t>(strtol(argv[2], nullptr, 10));
    gid_t gid = static_cast<gid_t>(strtol(argv[3], nullptr, 10));
    std::vector<std::vector<char *>> programs(1);
    for (int i = 5; i < argc; i++) {
        if (strcmp(argv[i], ":::") == 0) {
            programs.back().push_back(nullptr);
            programs.emplace_back();
        } else {
            programs.back().push_back(argv[i]);
        }
    }
    programs.back().push_back(nullptr);

    std::vector<std::vector<double>> samples(programs.size());
    for (size_t p = 0; p < programs.size(); p++)
        run_once(programs[p], uid, gid);  // warm the page cache
    for (int r = 0; r < rounds; r++) {
        for (size_t p = 0; p < programs.size(); p++)
            samples[p].push_back(run_once(programs[p], uid, gid));
    }
    for (auto &s : samples) {
        std::sort(s.begin(), s.end());
        printf("%.1f\n", s[s.size() / 2]);
    }
    return 0;
}

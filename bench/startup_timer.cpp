// Times whole program runs, started the way the web server starts a helper
// (as the web-server user), interleaving the programs round by round so
// that drift on the machine affects them all alike; every other round runs
// them in the reverse order, so that none always follows the same one.
// Prints one line per program, in input order: the median microseconds of
// a run, and the median over the rounds of its run less the second
// program's run in the same round (the paired difference against the
// floor; 0 for the floor itself).
//
//   startup_timer [--log PATH] ROUNDS UID GID -- PROG [ARG...] [::: PROG [ARG...]]...
//
// --log PATH: a system log that listens, a datagram socket at PATH that a
// child of the timer reads and discards, as a system log daemon would,
// for as long as the timer runs. PATH is removed at the end.
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

// A reader of datagrams at path, in a child; its pid, or -1.
pid_t start_log_reader(const char *path)
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path)
        return -1;
    strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unlink(path);
    if (fd == -1 || bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
        chmod(path, 0666) != 0) {
        perror("startup_timer: log socket");
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        char record[8192];
        for (;;) {
            if (recv(fd, record, sizeof record, 0) == -1)
                _exit(0);
        }
    }
    close(fd);
    return pid;
}

double median(std::vector<double> s)
{
    std::sort(s.begin(), s.end());
    size_t n = s.size();
    return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    const char *log = nullptr;
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "--log") == 0) {
        log = argv[2];
        first = 3;
    }
    if (argc < first + 5 || strcmp(argv[first + 3], "--") != 0) {
        fprintf(stderr, "usage: startup_timer [--log PATH] ROUNDS UID GID -- PROG [ARG...] [::: PROG...]...\n");
        return 2;
    }
    int rounds = static_cast<int>(strtol(argv[first], nullptr, 10));
    uid_t uid = static_cast<uid_t>(strtol(argv[first + 1], nullptr, 10));
    gid_t gid = static_cast<gid_t>(strtol(argv[first + 2], nullptr, 10));
    std::vector<std::vector<char *>> programs(1);
    for (int i = first + 4; i < argc; i++) {
        if (strcmp(argv[i], ":::") == 0) {
            programs.back().push_back(nullptr);
            programs.emplace_back();
        } else {
            programs.back().push_back(argv[i]);
        }
    }
    programs.back().push_back(nullptr);

    pid_t reader = -1;
    if (log != nullptr && (reader = start_log_reader(log)) == -1)
        return 1;
    size_t count = programs.size();
    std::vector<std::vector<double>> samples(count);
    for (size_t p = 0; p < count; p++)
        run_once(programs[p], uid, gid);  // warm the page cache
    for (int r = 0; r < rounds; r++) {
        for (size_t i = 0; i < count; i++) {
            size_t p = r % 2 ? count - 1 - i : i;
            samples[p].push_back(run_once(programs[p], uid, gid));
        }
    }
    if (reader != -1) {
        kill(reader, SIGKILL);
        waitpid(reader, nullptr, 0);
        unlink(log);
    }
    for (size_t p = 0; p < count; p++) {
        std::vector<double> paired;
        paired.reserve(static_cast<size_t>(rounds));
        for (int r = 0; r < rounds; r++)
            paired.push_back(samples[p][r] - samples[count > 1 ? 1 : 0][r]);
        printf("%.1f %.1f\n", median(samples[p]), median(paired));
    }
    return 0;
}

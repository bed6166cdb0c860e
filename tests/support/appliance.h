// Test support for the sandbox appliance: starting an installed helper the
// way the web server would (as an unprivileged user, with a start state the
// test chooses), reading what the recording stand-ins saw, and arranging
// the appliance's files. Only meaningful inside tools/sandbox/appliance.
#ifndef KORVANE_TESTS_APPLIANCE_H
#define KORVANE_TESTS_APPLIANCE_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace appliance {

// Where the sandbox installs the helpers and keeps the stand-ins' trace.
extern const char *const kBinDir;   // "/run/appliance/bin"
extern const char *const kStateDir; // "/run/appliance"

// The web-server user the administration pages run as.
constexpr uid_t kWebUid = 33;
constexpr gid_t kWebGid = 33;

// A start-state value the caller leaves as it inherited it.
constexpr int kKeep = -100000;

// How the caller starts a program.
struct Start {
    std::vector<std::string> args;          // argv[1] onwards
    bool set_argv0 = false;                 // use argv0 instead of the path
    std::string argv0;
    std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin",
                                    "HOME=/var/www", "LANG=C"};
    uid_t uid = kWebUid;
    gid_t gid = kWebGid;
    std::vector<gid_t> groups = {kWebGid, 100};
    std::string stdin_text;                 // fed through a pipe
    bool close_stdin = false, close_stdout = false, close_stderr = false;
    std::vector<int> extra_fds;             // opened on /dev/null, inherited
    bool raise_nofile_to_hard = false;      // soft limit raised to the hard
    long lower_nofile_to = -1;              // soft limit lowered after extra_fds
    mode_t umask = 022;
    bool ignore_all_signals = false;        // SIGCHLD included
    bool block_all_signals = false;
    // Resource limits the caller sets (after extra_fds), soft and hard.
    struct Limit {
        int resource;
        unsigned long long soft, hard;      // RLIM64_INFINITY for none
    };
    std::vector<Limit> limits;
    int nice = kKeep;                       // nice value
    int sched_policy = -1;                  // SCHED_IDLE, SCHED_BATCH, ...
    int cpu = -1;                           // pinned to this one CPU
    int oom_score_adj = kKeep;
    int ioprio = -1;                        // raw I/O priority value
    bool no_new_privs = false;
    // Where a service manager may have put the caller: namespaces of its
    // own (mounts with a private /tmp, cgroup, network), cgroups it joins
    // (their directories), a timer slack in nanoseconds, a personality.
    bool private_mounts = false, private_cgroup_ns = false, private_network = false;
    std::vector<std::string> cgroups;
    unsigned long timer_slack = 0;          // 0: as inherited
    long personality = -1;                  // -1: as inherited
    // Modes a caller may set that survive the exec: a TSC mode (PR_TSC_*),
    // utilisation clamps (min and max), a session of its own (kOwnSession;
    // kTerminal: with a pseudo-terminal as its controlling terminal) and its
    // autogroup's nice value there, memory-deny-write-execute, THP
    // disabled, its memory bound to NUMA node 0, a session keyring of its
    // own.
    int tsc = -1, util_clamp = -1;
    enum { kCallerSession, kOwnSession, kTerminal } session = kCallerSession;
    int autogroup_nice = kKeep;
    bool mdwe = false, thp_disable = false, bind_memory = false, own_keyring = false;
    bool login_uid = false;                 // an audit login uid, as a login sets it
    bool no_chroot_cap = false;             // CAP_SYS_CHROOT gone from the bounding set
    std::string root_dir;                   // a chroot the caller made (as root) before it runs
    std::string cwd = "/";
    bool remove_cwd = false;                // the caller's directory is gone
    int timeout_seconds = 30;
};

struct Result {
    int status = -1;  // raw wait status
    pid_t pid = 0;    // the program's process id
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
    bool exited() const;
    int code() const; // exit code, or -1 when killed
};

// Runs `program` (a name in kBinDir, or an absolute path) as the caller.
Result run(const std::string &program, const Start &start = Start());

// Runs several programs at once, each as `run` would, each started
// `gap_ms` milliseconds after the one before; returns their results in
// the same order (a program killed by a signal gives status 255).
std::vector<Result> run_together(const std::vector<std::pair<std::string, Start>> &calls, int gap_ms = 0);

// One run of a recording stand-in, as the trace holds it.
struct Record {
    std::string name;               // program name (basename of its path)
    std::string exe;
    pid_t pid = 0, ppid = 0;
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::vector<long> uid, gid;     // real, effective, saved, file system
    std::vector<long> groups;
    unsigned umask = 0;
    unsigned long long sigign = 0, sigblk = 0;
    std::map<std::string, std::string> limits; // "nofile" -> "soft hard"
    std::string nice, sched;        // nice value; scheduling policy
    std::vector<int> cpus;          // the CPUs it may run on
    std::string oom_score_adj;
    long ioprio = -1;
    std::vector<std::string> cgroups;   // lines of /proc/self/cgroup
    std::map<std::string, std::string> ns; // "mnt" -> "mnt:[4026531841]"
    std::string timerslack, personality;
    std::string mdwe, tsc, thpdisable, mempolicy, uclamp, autogroup; // as recorded
    long keyring = 0;               // the session keyring's serial
    std::string keyring_description; // "keyring;UID;GID;PERM;NAME"
    long session = 0;
    std::string ctty;               // "1" when it has a controlling terminal
    std::string login, root;        // "LOGINUID SESSIONID"; the root's "DEV:INO"
    std::string cwd;
    std::map<int, std::string> fds; // descriptor -> what it refers to
    bool finished = false;          // an exit line followed
    int exit_code = -1;
    size_t begin_seq = 0, exit_seq = 0; // positions in the trace
    pid_t daemon_pid = 0;           // the background process, if any

    // The environment without the PWD that the shell adds on its own.
    std::vector<std::string> env_without_pwd() const;
    bool signal_ignored(int sig) const { return (sigign >> (sig - 1)) & 1; }
};

std::vector<Record> trace();
// The argument vectors of the trace, each joined with single blanks: the
// command lines as the stand-ins received them.
std::vector<std::string> trace_lines();
void clear_trace();

// Stand-in wishes, by program name.
void standin_exit(const std::string &name, int code);
void standin_stdout(const std::string &name, const std::string &text);
void standin_stderr(const std::string &name, const std::string &text);
void standin_delay(const std::string &name, int milliseconds);
// A daemon in two steps: its first background process lingers a moment
// after starting the one that stays.
void standin_daemon(const std::string &name, bool two_steps = false);
void clear_standins();

// Files of the appliance.
void write_file(const std::string &path, const std::string &content, mode_t mode = 0644);
std::string read_file(const std::string &path);
bool exists(const std::string &path);  // lstat succeeds
void remove_path(const std::string &path); // file, link or whole tree
void make_dir(const std::string &path, mode_t mode = 0755);

// A resource limit as the stand-in records it: "SOFT HARD", each a number
// or "unlimited".
std::string shown_limit(unsigned long long soft, unsigned long long hard);
// The limit of process 1, the system's init (in the sandbox: the test).
std::string init_limit(int resource);

// Where process 1 (in the sandbox: the test) runs, as a stand-in records
// it: its cgroup lines, namespaces, timer slack and personality.
struct Placement {
    std::vector<std::string> cgroups;
    std::map<std::string, std::string> ns;
    std::string timerslack, personality;
};
Placement init_placement();

// The sandbox's own cgroups, one a hierarchy where it could make one; its
// init (the test) runs in their leaves "init". Each delegated_cgroups()
// cgroup is made beside that leaf, as a service manager delegates one:
// owned by the web-server user, with a process limit of `pids_max` where
// the hierarchy has the pids controller. Removed by
// remove_delegated_cgroups().
std::vector<std::string> sandbox_cgroups();
std::vector<std::string> delegated_cgroups(int pids_max);
void remove_delegated_cgroups();

// The emulator the build's programs run under here, or "" where the kernel
// runs them itself: the 32-bit build, on a kernel without 32-bit
// emulation, runs them under qemu-i386 through binfmt_misc. A row that
// depends on what the emulator does not do as the kernel would is left
// out there, by name, with the reason printed.
std::string emulator();
// True, after printing that `row` is left out and why, when the programs
// run under an emulator.
bool left_out_under_emulator(const std::string &row, const std::string &why);

// Whether root here has CAP_SYS_RESOURCE (bit 24 of the bounding set), and
// so may raise a hard resource limit; many containers withhold it.
bool has_cap_sys_resource();

// The state letter of a process in /proc ('S', 'R', 'Z', ...), or 0 when
// it is gone.
char process_state(pid_t pid);
// The processes of this name (as /proc gives it) that have not ended.
std::vector<pid_t> live_processes(const std::string &name);

// A copy of an installed helper without the set-user-ID bit.
std::string unprivileged_copy(const std::string &program);

// The names of every installed helper program.
std::vector<std::string> installed_helpers();
// Their mode: 04755 by the build's install rule, 04750 (group www-data) as
// the korvane-helpers package installs them (KORVANE_INSTALLED_HELPERS).
unsigned helper_mode();

// The trusted environment, as commands must see it.
std::vector<std::string> trusted_env();

// Hostile strings, one a line in a corpus file (the escapes are described
// at the head of tests/e2e/injection_corpus.txt): lines that begin with
// "#" and empty lines are skipped; \n, \t, \\ and \xHH stand for a line
// feed, a tab, a backslash and the byte HH.
std::vector<std::string> read_corpus(const std::string &path);
// The project's own corpus, tests/e2e/injection_corpus.txt.
std::vector<std::string> injection_corpus();

// What rulepass hands to iptables for an option list, worked out here on
// its own: the words, split at blanks (space, tab) outside quotes, where a
// single or double quote groups everything up to the same quote again and
// nothing is ever expanded; quoted and plain parts next to each other make
// one word. False when rulepass must refuse the list: a character other
// than letters, digits, "-_.,:/=+!@%", blanks and (inside quotes) the
// other quote; a quote left open; a word iptables would read as
// --modprobe (-M); or a command line "/sbin/iptables 'w1' 'w2' ..." (each
// single quote inside a word written as '\'') longer than 1022 characters.
bool rulepass_words(const std::string &options, std::vector<std::string> &words);

// What is under each of `dirs`, by path: type and mode, and for anything
// but a directory its size, modification time and inode. Symbolic links
// are not followed. With recursive false only the names and types of the
// entries directly inside are listed (for directories that other programs
// of the host may write into). Two listings compare equal when nothing
// was made, removed, replaced or written.
std::map<std::string, std::string> listing(const std::vector<std::string> &dirs,
                                           bool recursive = true);

// A system-log socket: a datagram socket bound at /dev/log of the mount
// namespace current when it is made (the sandbox's own small /dev). When
// it is closed, its socket file stays behind: a log that nobody reads.
class SystemLog {
public:
    SystemLog();
    ~SystemLog();
    SystemLog(const SystemLog &) = delete;
    SystemLog &operator=(const SystemLog &) = delete;
    // Reads what has arrived, so that senders never wait for room; every
    // datagram since the log was made is kept.
    void drain();
    const std::vector<std::string> &lines();
    // The lines sent with this tag ("TAG: message" or "TAG[pid]: message").
    std::vector<std::string> tagged(const std::string &tag);
    // Fills the queue until a sender would have to wait: a reader that
    // never reads.
    void fill();

private:
    int fd_;
    std::vector<std::string> lines_;
};

// The fields of an audit record (the message after the tag): KEY=VALUE
// separated by single blanks, a value either bare or in double quotes with
// \\, \" and \xHH escapes, unescaped here. Empty when the record is not
// made of such fields alone, or holds a control character or a byte beyond
// ASCII: a record a reader could split, or misread.
std::map<std::string, std::string> audit_fields(const std::string &record);

} // namespace appliance

#endif

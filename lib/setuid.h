// The helper runtime library: everything a set-user-ID-root helper program
// needs to become root in a known state and to run shell command lines as
// root under a trusted environment.
#ifndef KORVANE_SETUID_H
#define KORVANE_SETUID_H

#include <stddef.h>

// The only environment that commands run by safe_system and unpriv_system
// see: PATH, SHELL and TERM, then a null pointer.
extern const char *const trusted_env[4];

// Puts the process into a clean state and makes it fully root: signals
// ignored (all but SIGKILL; SIGCHLD set to its default) and none blocked,
// only descriptors 0 to 2 open (a missing one reopened on /dev/null), no
// core dumps, no supplementary groups, group and user 0; then, as root,
// every other resource limit that of process 1 (the system's init), nice
// value 0, scheduling policy SCHED_OTHER, process 1's CPU affinity, OOM
// score adjustment 0, no I/O class; process 1's cgroup and mount
// namespaces (where they differ; network, IPC, host name, user and pid
// namespaces stay), process 1's cgroup in every hierarchy (a path climbs
// only by a whole ".." component), its timer slack and personality; TSC
// enabled, transparent huge pages not disabled, NUMA memory policy
// MPOL_DEFAULT, utilisation clamps at the system's defaults, a new
// anonymous session keyring; file-creation mask 022, working directory
// "/". Memory-deny-write-execute cannot be cleared: a process that has it
// fails ("Couldn't clear memory-deny-write-execute"). Where root lacks
// CAP_SYS_RESOURCE, a hard limit the caller lowered stays (the soft limit
// goes as near to init's as it allows) and an OOM score the kernel will
// not lower stays; likewise a namespace, cgroup, timer slack, personality
// or mode the kernel refuses for want of privilege, and a mode the kernel
// does not have. /proc must be that of the process's own pid namespace
// (by the namespace's identity where the kernel can name it, else by this
// process's number there). The autogroup is never written: it is the
// caller's whole session's; each command gets one of its own with its
// session (system_core).
// Returns 1 on success, 0 after the first failing step (with at most one
// message on standard error). A helper's main calls it first and exits
// with status 1 when it returns 0.
int initsetuid();

// Forks; the child starts a session of its own (no controlling terminal,
// an autogroup of its own at nice 0), lowers its group and user where gid
// or uid is not 0, and runs "/bin/sh -c command" under trusted_env, with
// signal dispositions and descriptor 0 as they are, and descriptors 1 and
// 2 on two pipes of the helper's. The parent passes on what arrives to its
// own descriptors 1 and 2, byte for byte, within the bound of tellcaller
// (a caller that stops reading no longer gets any, the command goes on),
// until the shell has ended: then what the pipes hold is passed on and
// they are closed. Returns the raw wait status, -1 when the pipes, the
// fork or the wait failed, 1 for a null command. `name` prefixes the
// child's error messages.
int system_core(const char *command, int uid, int gid, const char *name);

// system_core(command, 0, 0, "safe_system"): the command runs as root.
int safe_system(const char *command);

// system_core(command, uid, gid, "unpriv_system").
int unpriv_system(const char *command, int uid, int gid);

// What a helper reports for a command's wait status, so that its own exit
// status says whether the command did its work: the command's exit code,
// 128 plus the signal that ended it, or 1 when it could not be run (-1)
// or no code tells.
int commandstatus(int status);

// How long a write to the caller may make no progress: after that the
// helper writes nothing more to it (a command's output is read and
// dropped), so that a caller that stops reading holds up nothing.
const int kCallerWait = 5;

// Writes `text` to the caller's descriptor `fd` (1 or 2) at once, waiting
// at most kCallerWait seconds for the caller to take each part of it; the
// open file description is left as the caller made it. A helper's own
// texts (progress, usage, refusals) all go this way.
void tellcaller(int fd, const char *text);

// perror's "WHAT: REASON" line, to standard error through tellcaller.
void tellerror(const char *what);

// How long a helper waits for another action on its service to end: an
// init script may well take a minute.
const int kServiceLockWait = 300;

// One action per service at a time: takes the exclusive lock of `service`
// (a short name, the same for every program that acts on that service)
// and holds it until the process ends. Call it once the process is root
// (after initsetuid), before the first command. The lock is a flock on
// /run/korvane/SERVICE.lock (directory 0700 and file 0600, root's own,
// close-on-exec, so that no caller and no command can hold it). One helper
// at most waits for it, holding /run/korvane/SERVICE.wait while it does;
// it waits at most `seconds`. Returns 0 once the lock is held; else the
// helper's exit status, after a message on standard error and an audit
// record: 75 (EX_TEMPFAIL) with "Another action on SERVICE is still
// running." at once when another helper already waits, or when the wait
// ran out; 1 when the lock cannot be made or taken (the directory is not
// root's own, say).
int lockservice(const char *service, int seconds = kServiceLockWait);

// The audit trail: every command a helper runs as root leaves a record
// before it starts and one after it ended, and every request it refuses
// leaves one, in the system log (facility authpriv, through /dev/log):
//   NAME[PID]: user=USER uid=UID command="LINE"                  (notice)
//   NAME[PID]: user=USER uid=UID status=STATUS command="LINE"    (notice)
//   NAME[PID]: user=USER uid=UID refused="REASON" argument="ARG" (warning)
// USER is the caller's name in /etc/passwd (the field is left out when it
// has none); quoted values escape quotes, backslashes, control characters
// and bytes beyond ASCII. A record, header included, is at most 1,024
// bytes, and the fields of the helper's own come before the caller's
// text; a record whose value had to be cut ends with cut=yes. A log whose
// queue is full is waited for, at most a quarter of a second per record
// and a second per run, then the record is dropped; a missing log, or one
// no one reads, is tried once per run and costs nothing more. errno is
// left as it was.

// The program's name in its records; each helper has its own compiled in
// (cmake/KorvaneHelper.cmake), so that no caller can choose it. Programs
// that are no helpers have the library's empty one and record nothing.
extern const char helpername[];

// Notes the caller's real user ID; initsetuid calls it before anything
// changes the credentials.
void notecaller();

// Records a command about to start; system_core calls it before the fork.
void auditstart(const char *command);

// Records a command that ran (or could not be run) and returns `status`,
// its raw wait status; the record shows commandstatus(status). system_core
// calls it after the wait.
int auditcommand(const char *command, int status);

// Records a refused request: a short fixed reason and, where it can carry
// no secret, the refused argument (null for none; at most 256 bytes shown).
void auditrefusal(const char *reason, const char *argument);

// Tests a flag file: its mere existence says a service or function is
// enabled. Returns 1 when the path opens read-only without waiting
// (O_NONBLOCK, so that a FIFO counts as there, as any file does; the
// descriptor is closed at once, nothing is read), else 0.
int flagexists(const char *path);

// Appends src to the string in dst, a buffer of `size` bytes, always
// terminating within it. Returns the length the string would have had with
// unlimited room (a result of `size` or more means the text was cut); a
// buffer without a terminator within `size` bytes is left unchanged and
// `size` plus the length of src is returned. Declared exactly as a C
// library that has its own declares it, so both can meet in one unit; the
// repeated declaration is that meeting, not an oversight.
extern "C" size_t strlcat(char *dst, const char *src, size_t size) noexcept;  // NOLINT(readability-redundant-declaration)

// Appends src to the string in dst as exactly one shell word: in single
// quotes, each single quote inside written as '\'' , so that blanks, quotes,
// globs, newlines and any other shell syntax in it stay literal text. The
// word is appended whole or not at all: when it does not fit (with the
// terminator) in the `size`-byte buffer, dst is left unchanged. Returns the
// length the string would have with the word appended; a result of `size`
// or more means nothing was appended.
size_t strlcatquote(char *dst, const char *src, size_t size);

// The key/value settings store: an ordered list of KEY=VALUE entries in
// memory, read from and written to settings files under advisory whole-file
// locks (flock: shared while reading, exclusive while writing, waiting for
// the lock). A settings file is a text of lines KEY=VALUE ended by a line
// feed; a value that begins with a single quote runs to the last single
// quote of its line. Keys are compared byte for byte and in full, and a key
// may occur more than once: lookups take its first entry.
//
// A list is identified by its head, a sentinel record made by
// initkeyvalues ("KEY", "VALUE") that is never matched, written or read; the
// entries follow it through `next` in the order in which they were added.
// Records come from malloc. Every string stored is cut to its first 1022
// characters.
//
// When memory runs out: initkeyvalues returns a null pointer, and every
// other operation accepts a null head (the readers and writekeyvalues return
// 0 or add nothing, findkey returns 0, the others do nothing). An entry whose
// record cannot be allocated is not added: appendkeyvalue and
// replacekeyvalue leave the list as it was, readkeyvaluesfromline stops at
// that token, readkeyvalues returns 0 (entries of the earlier lines stay, as
// after a malformed line), and writekeyvalues returns 0 without touching
// the file.
struct keyvalue {
    char key[1023];
    char value[1023];
    struct keyvalue *next;
};

// A new, empty list: its head record. Null when memory runs out.
struct keyvalue *initkeyvalues();

// Releases every entry of the list and empties it; the head stays allocated
// (it may take entries again, or be released by the caller with free).
void freekeyvalues(struct keyvalue *head);

// Appends the entries of a settings file to the list, after those already
// there. A line is read in pieces of at most 1022 characters; an empty piece
// or one with an empty key is skipped. Returns 1 when the whole file was
// read; 0 when it cannot be opened or locked or is not a regular file (a
// FIFO is refused at once, never waited on), a line has no equals sign, a
// quoted value has no closing quote, a read fails or a record cannot be
// allocated. Entries of the lines before the failure stay in the list.
int readkeyvalues(struct keyvalue *head, const char *filename);

// Appends the space-separated tokens of one line (at most its first 1022
// characters, up to its first line feed): KEY=VALUE pairs, and bare words
// with the value "1". Single quotes have no meaning here.
void readkeyvaluesfromline(struct keyvalue *head, const char *line);

// Replaces the contents of the settings file (created, mode 0666 less the
// file-creation mask, if missing) with one line per entry: "KEY='VALUE'"
// when the value holds a space or begins with a single quote, else
// "KEY=VALUE". The file stays the same file (inode, owner, mode, links).
// Returns 1 once the new contents are on the disk. Returns 0, with the
// file's old contents intact, when an entry would not read back as itself
// (the file is not even opened): its key or value holds a line feed, its
// key is empty or holds an equals sign, or its line (key, "=", value, and
// the two quotes of a quoted value) is longer than 1022 characters; and
// when the file cannot be opened or locked or is not a regular file (a
// FIFO or a device is refused at once), or the new contents do not fit or
// cannot be written. The room is reserved before anything changes, also on
// file systems without fallocate.
int writekeyvalues(struct keyvalue *head, const char *filename);

// Copies the value of the first entry with this key into `value` (1023
// bytes: the value, then NUL bytes) and returns 1; returns 0, leaving
// `value` untouched, when no entry has the key.
int findkey(struct keyvalue *head, const char *key, char *value);

// Adds an entry at the end of the list, whether or not the key is present.
void appendkeyvalue(struct keyvalue *head, const char *key, const char *value);

// Gives the first entry with this key the new value (later entries with the
// same key keep theirs), or appends the entry when no entry has the key.
void replacekeyvalue(struct keyvalue *head, const char *key, const char *value);

#endif

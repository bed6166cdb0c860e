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
// ignored (all but SIGKILL; SIGCHLD set to its default), only descriptors
// 0 to 2 open (a missing one reopened on /dev/null), no core dumps, no
// supplementary groups, group and user 0, file-creation mask 022.
// Returns 1 on success, 0 after the first failing step (with at most one
// message on standard error). A helper's main calls it first and exits
// with status 1 when it returns 0.
int initsetuid();

// Forks, lowers the child's group and user where gid or uid is not 0, runs
// "/bin/sh -c command" under trusted_env and waits. Returns the raw wait
// status, -1 when the fork or the wait failed, 1 for a null command.
// `name` prefixes the child's error messages.
int system_core(const char *command, int uid, int gid, const char *name);

// system_core(command, 0, 0, "safe_system"): the command runs as root.
int safe_system(const char *command);

// system_core(command, uid, gid, "unpriv_system").
int unpriv_system(const char *command, int uid, int gid);

// Tests a flag file: its mere existence says a service or function is
// enabled. Returns 1 when the path opens read-only (the descriptor is closed
// at once, nothing is read), else 0.
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

#endif

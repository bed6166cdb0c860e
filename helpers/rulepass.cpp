// rulepass: runs one iptables command as root. The single argument holds
// the whole option list (chain, match, target), split into words at blanks
// the way the pages expect the shell to split it; single or double quotes
// group a word that holds blanks (a comment, a log prefix).
#include "setuid.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

char command[1024];

namespace {

// As if formatted with a limit of 1023: at most 1022 characters.
const size_t kLimit = sizeof command - 1;

// What an iptables option list needs (names, addresses, networks, ports,
// ranges, negation, marks), and nothing the shell would expand or treat as
// syntax. Quotes are handled by the word splitter.
int allowed(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return 1;
    return strchr("-_.,:/=+!@%", c) != nullptr;
}

int blank(char c)
{
    return c == ' ' || c == '\t';
}

// iptables runs the program named by --modprobe (-M) as root to load a
// kernel module: that option would let a caller have root run a program of
// its own. 1 when iptables' getopt would read `word` as it: "--" and a
// name (up to any "=") that "modprobe" starts with, though the bare "--"
// only ends the options; or an "M" among a cluster's letters before any
// letter that takes the rest of the word as its argument (-nvM/x is the
// option, -jMASQUERADE a target, -LM a chain).
int modprobeoption(const char *word)
{
    if (word[0] != '-')
        return 0;
    if (word[1] == '-') {
        if (word[2] == '\0')
            return 0;
        size_t name = strcspn(word + 2, "=");
        return name <= strlen("modprobe") && strncmp(word + 2, "modprobe", name) == 0;
    }
    for (const char *p = word + 1; *p != '\0'; p++) {
        if (*p == 'M')
            return 1;
        // The other short options that take an argument.
        if (strchr("ACDEFILNPXZRSWcdijopstghmw", *p) != nullptr)
            return 0;
    }
    return 0;
}

// Appends one finished word to the command line as a single-quoted shell
// word; 0 when the line would no longer fit.
int appendword(const char *word)
{
    return strlcat(command, " ", kLimit) < kLimit && strlcatquote(command, word, kLimit) < kLimit;
}

// Builds "/sbin/iptables" and the words of the option list in `command`.
// Words end at blanks outside quotes; a quote opens a part that runs to
// the same quote again, in which blanks and the other quote are ordinary
// characters, and quoted and plain parts next to each other make one word
// ('' is an empty word). Nothing is ever expanded: each word reaches
// iptables as exactly one argument, quoted again for the shell. Returns 0,
// and the line must not be run, for a character outside the allowed set
// (quoted or not), a quote that is never closed, a word iptables would
// read as --modprobe, or a line that would be cut (a cut rule is a
// different rule).
int buildcommand(const char *options)
{
    char word[sizeof command];
    size_t length = 0;
    int inword = 0;
    char quote = '\0';

    command[0] = '\0';
    strlcat(command, "/sbin/iptables", kLimit);
    for (const char *p = options;; p++) {
        char c = *p;
        if (c == '\0' && quote != '\0')
            return 0;
        if (c == '\0' || (quote == '\0' && blank(c))) {
            if (inword) {
                word[length] = '\0';
                if (modprobeoption(word) || !appendword(word))
                    return 0;
            }
            if (c == '\0')
                return 1;
            inword = 0;
            length = 0;
            continue;
        }
        inword = 1;
        if (quote == '\0' && (c == '\'' || c == '"')) {
            quote = c;
            continue;
        }
        if (c == quote) {
            quote = '\0';
            continue;
        }
        if (!allowed(c) && !(quote != '\0' && (blank(c) || c == '\'' || c == '"')))
            return 0;
        // A word this long could not fit the line anyway.
        if (length + 1 >= sizeof word)
            return 0;
        word[length++] = c;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (!initsetuid())
        exit(1);

    if (argc != 2) {
        auditrefusal("Wrong number of arguments.", nullptr);
        exit(1);
    }

    // Refused before anything runs.
    if (!buildcommand(argv[1])) {
        auditrefusal("Invalid iptables arguments given.", argv[1]);
        tellcaller(2, "\nInvalid iptables arguments given.\n\n");
        exit(1);
    }

    // The caller learns how the rule change went: iptables' own exit code,
    // 128 plus the signal that killed it, or 1 when it could not be run.
    return commandstatus(safe_system(command));
}

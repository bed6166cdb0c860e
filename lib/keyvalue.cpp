// The key/value settings store: a list of KEY=VALUE records behind a head
// record, and the settings files it is read from and written to.
#include "setuid.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The size of a record's arrays; a stored string holds at most one less.
const size_t FIELD = sizeof(keyvalue::key);

// Bounded copy into an array of FIELD bytes: cut to 1022 characters and
// padded with NUL bytes up to the array's end, so always terminated.
void storestring(char *field, const char *text)
{
    size_t length = strnlen(text, FIELD - 1);
    memcpy(field, text, length);
    memset(field + length, 0, FIELD - length);
}

// A new, unlinked record holding the entry; null when memory runs out.
keyvalue *newrecord(const char *key, const char *value)
{
    keyvalue *record = static_cast<keyvalue *>(malloc(sizeof(keyvalue)));
    if (!record)
        return nullptr;
    storestring(record->key, key);
    storestring(record->value, value);
    record->next = nullptr;
    return record;
}

keyvalue *lastrecord(keyvalue *head)
{
    keyvalue *last = head;
    while (last->next)
        last = last->next;
    return last;
}

// Links a new entry behind *tail and moves *tail on to it, so that a reader
// adding many entries walks the list only once. Returns 0 when memory runs
// out (the list is then unchanged).
int appendat(keyvalue **tail, const char *key, const char *value)
{
    keyvalue *record = newrecord(key, value);
    if (!record)
        return 0;
    (*tail)->next = record;
    *tail = record;
    return 1;
}

// Opens a settings file, which must be a regular file: a FIFO would make
// the reader or the writer wait forever for a peer, and a device is no
// settings file. Not waiting for a FIFO's peer is what O_NONBLOCK is for
// here; it is taken back for the regular file. -1 when the file does not
// open or is not regular.
int opensettings(const char *filename, int flags)
{
    int fd = open(filename, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd == -1)
        return -1;
    struct stat st;
    if (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

// flock that waits for the lock, also through interrupting signals.
int lockfile(int fd, int operation)
{
    int result;
    do
        result = flock(fd, operation);
    while (result == -1 && errno == EINTR);
    return result;
}

// A value the reader would not give back as it is when written bare: one
// with a space (the file's own rule) or one that begins with a single quote.
bool needsquotes(const char *value)
{
    return value[0] == '\'' || strchr(value, ' ') != nullptr;
}

// Whether the entry's line reads back as this very entry. The reader
// ends a line at a line feed, takes the key up to the first equals sign,
// skips a line whose key is empty, and takes a line in pieces of at most
// 1022 characters (the line: key, "=", value, and two quotes when the
// value is written quoted).
bool readsback(const keyvalue *entry)
{
    if (entry->key[0] == '\0' || strchr(entry->key, '=') != nullptr)
        return false;
    if (strchr(entry->key, '\n') != nullptr || strchr(entry->value, '\n') != nullptr)
        return false;
    size_t line = strlen(entry->key) + 1 + strlen(entry->value);
    if (needsquotes(entry->value))
        line += 2;
    return line <= FIELD - 1;
}

// The settings file's new contents, built in memory before the file is
// touched, so that nothing is changed until they are known to fit.
// Null when memory runs out.
char *formatentries(keyvalue *head, size_t *length)
{
    size_t total = 0;
    for (keyvalue *entry = head->next; entry; entry = entry->next)
        total += strlen(entry->key) + strlen(entry->value) + 4;

    char *text = static_cast<char *>(malloc(total + 1));
    if (!text)
        return nullptr;

    size_t used = 0;
    for (keyvalue *entry = head->next; entry; entry = entry->next) {
        const char *format = needsquotes(entry->value) ? "%s='%s'\n" : "%s=%s\n";
        used += snprintf(text + used, total + 1 - used, format, entry->key, entry->value);
    }
    *length = used;
    return text;
}

// Writes all of text at the start of the file.
int writeall(int fd, const char *text, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = pwrite(fd, text + done, length - done, (off_t)done);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        done += (size_t)n;
    }
    return 1;
}

// Replaces the contents of the open, locked file with text. The room is
// reserved first, so that a full disk is found before a byte of the old
// contents changes; then the new contents are written from the start, the
// file is cut to their length and flushed to the disk, all while the lock
// keeps other readers and writers out. The file itself stays the same
// (other programs hold their locks on it).
int replacecontents(int fd, const char *text, size_t length)
{
    struct stat before;
    if (fstat(fd, &before) == -1)
        return 0;

    if (length > 0) {
        int error = posix_fallocate(fd, 0, (off_t)length);
        if (error != 0) {
            // A reservation that failed half-way may have lengthened the
            // file; give it back its old length.
            struct stat after;
            if (fstat(fd, &after) == 0 && after.st_size != before.st_size)
                if (ftruncate(fd, before.st_size) == -1) {
                    // Nothing more can be done; the write has failed anyway.
                }
            return 0;
        }
    }

    if (!writeall(fd, text, length))
        return 0;
    if (ftruncate(fd, (off_t)length) == -1)
        return 0;
    if (fdatasync(fd) == -1)
        return 0;
    return 1;
}

} // namespace

keyvalue *initkeyvalues()
{
    return newrecord("KEY", "VALUE");
}

void freekeyvalues(keyvalue *head)
{
    if (!head)
        return;
    keyvalue *entry = head->next;
    while (entry) {
        keyvalue *next = entry->next;
        free(entry);
        entry = next;
    }
    head->next = nullptr;
}

void appendkeyvalue(keyvalue *head, const char *key, const char *value)
{
    if (!head)
        return;
    keyvalue *last = lastrecord(head);
    appendat(&last, key, value);
}

void replacekeyvalue(keyvalue *head, const char *key, const char *value)
{
    if (!head)
        return;
    for (keyvalue *entry = head->next; entry; entry = entry->next) {
        if (strcmp(entry->key, key) == 0) {
            storestring(entry->value, value);
            return;
        }
    }
    appendkeyvalue(head, key, value);
}

int findkey(keyvalue *head, const char *key, char *value)
{
    if (!head)
        return 0;
    for (keyvalue *entry = head->next; entry; entry = entry->next) {
        if (strcmp(entry->key, key) == 0) {
            storestring(value, entry->value);
            return 1;
        }
    }
    return 0;
}

int readkeyvalues(keyvalue *head, const char *filename)
{
    if (!head)
        return 0;

    int fd = opensettings(filename, O_RDONLY);
    if (fd == -1)
        return 0;
    FILE *file = fdopen(fd, "r");
    if (!file) {
        close(fd);
        return 0;
    }
    if (lockfile(fileno(file), LOCK_SH) == -1) {
        fclose(file);
        return 0;
    }

    // The reader keeps its own tail: a file of n lines costs n appends, not
    // n walks of a growing list.
    keyvalue *tail = lastrecord(head);
    int result = 1;
    char piece[1023];
    while (fgets(piece, sizeof(piece), file)) {
        // A piece ends at the first newline, if it holds one at all; an
        // empty piece, or an empty line, is skipped.
        char *newline = strchr(piece, '\n');
        if (newline)
            *newline = '\0';
        if (piece[0] == '\0')
            continue;

        char *equals = strchr(piece, '=');
        if (!equals) {
            result = 0;
            break;
        }
        *equals = '\0';
        char *key = piece;
        char *value = equals + 1;

        if (*value == '\'') {
            value++;
            char *closing = strrchr(value, '\'');
            if (!closing) {
                result = 0;
                break;
            }
            *closing = '\0';
        }

        if (key[0] == '\0')
            continue;
        if (!appendat(&tail, key, value)) {
            result = 0;
            break;
        }
    }
    // A read error is no end of the file: the list holds only part of it.
    if (result == 1 && ferror(file))
        result = 0;

    lockfile(fileno(file), LOCK_UN);
    fclose(file);
    return result;
}

void readkeyvaluesfromline(keyvalue *head, const char *line)
{
    if (!head)
        return;

    char copy[FIELD];
    storestring(copy, line);
    char *newline = strchr(copy, '\n');
    if (newline)
        *newline = '\0';

    keyvalue *tail = lastrecord(head);
    char *at = copy;
    for (;;) {
        while (*at == ' ')
            at++;
        if (*at == '\0')
            return;

        char *key = at;
        at += strcspn(at, " =");
        const char *value;
        if (*at == '=') {
            *at++ = '\0';
            value = at;
            at += strcspn(at, " ");
            if (*at == ' ')
                *at++ = '\0';
        } else {
            value = "1";
            if (*at == ' ')
                *at++ = '\0';
        }
        if (!appendat(&tail, key, value))
            return;
    }
}

int writekeyvalues(keyvalue *head, const char *filename)
{
    if (!head)
        return 0;

    // A list that would not read back as itself is not written at all:
    // other readers of the file would lose the entry, and every entry
    // after it.
    for (keyvalue *entry = head->next; entry; entry = entry->next)
        if (!readsback(entry))
            return 0;

    size_t length = 0;
    char *text = formatentries(head, &length);
    if (!text)
        return 0;

    // Read and write: where the file system has no fallocate, the C library
    // reserves the room by reading and rewriting the file's blocks.
    int fd = opensettings(filename, O_RDWR | O_CREAT);
    if (fd == -1) {
        free(text);
        return 0;
    }
    if (lockfile(fd, LOCK_EX) == -1) {
        close(fd);
        free(text);
        return 0;
    }

    int result = replacecontents(fd, text, length);

    lockfile(fd, LOCK_UN);
    if (close(fd) == -1)
        result = 0;
    free(text);
    return result;
}

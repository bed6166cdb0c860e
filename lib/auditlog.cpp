// The audit trail of root actions: system-log records of every command a
// helper runs as root (one before it starts, so that a command that never
// ends is on record too, and one after, with its status) and of every
// request it refuses, saying who asked. Records go to /dev/log as single
// datagrams of facility authpriv, at most 1,024 bytes each, the helper's
// own fields before any text of the caller's. A log whose queue is full
// is waited for, a little per record and a little more per run; then the
// record is dropped. A missing log costs one failed connect per run.
// Nothing the helper prints or returns changes.
#include "setuid.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

// authpriv (10) shifted by three, plus the severity.
const int kNotice = 10 * 8 + 5;
const int kWarning = 10 * 8 + 4;

// The longest refused argument shown: enough to recognise it, never a
// flood.
const size_t kShownArgument = 256;

unsigned long calleruid;     // the real user ID the helper started with,
bool callerknown;            // once noted

// The longest a record may be, header included: the traditional limit of
// the system log's datagrams, which every reader takes whole.
const size_t kRecordSize = 1024;
// What is kept free behind a quoted value: its closing quote and the mark
// of a cut.
const char kCutMark[] = " cut=yes";
const size_t kTail = sizeof kCutMark;

// How long a full log is waited for: per record, and for all the records
// of one run together.
const int kRecordWaitMs = 250;
const int kRunWaitMs = 1000;

// One record being built. A value that does not fit is cut, and the
// record says so.
struct Record {
    char text[kRecordSize + 1];
    size_t length;
    bool cut;
};

// Appends a text of the helper's own, whole or (when even that would not
// leave room for the tail) not at all.
void put(Record &record, const char *text)
{
    size_t size = strlen(text);
    if (record.length + size + kTail > kRecordSize) {
        record.cut = true;
        return;
    }
    memcpy(record.text + record.length, text, size + 1);
    record.length += size;
}

// Appends `key="value"` with at most `limit` bytes of the value. Quotes
// and backslashes are escaped with a backslash; control characters, DEL
// and every byte beyond ASCII as \xHH, so that a value can neither end its
// field nor start a line (a forged second record) in any reader. An
// escape is never split: the value stops before the one that would not
// leave room for the closing quote and the cut mark.
void putquoted(Record &record, const char *key, const char *value, size_t limit)
{
    put(record, key);
    put(record, "=\"");
    size_t i = 0;
    for (; i < limit && value[i] != '\0'; i++) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        char escaped[5];
        if (c == '"' || c == '\\')
            snprintf(escaped, sizeof escaped, "\\%c", c);
        else if (c < 0x20 || c >= 0x7f)
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
        else
            snprintf(escaped, sizeof escaped, "%c", c);
        size_t size = strlen(escaped);
        if (record.length + size + kTail > kRecordSize)
            break;
        memcpy(record.text + record.length, escaped, size + 1);
        record.length += size;
    }
    if (value[i] != '\0')
        record.cut = true;
    // The tail's room was kept for this quote.
    memcpy(record.text + record.length, "\"", 2);
    record.length++;
}

bool namecharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-' || c == '.' || c == '$';
}

// Whether one line of the password file ("name:password:uid:...") is that
// of `uid` with a name fit to stand in a record as it is; copies the name.
bool passwdentry(const char *line, unsigned long uid, char *name, size_t size)
{
    size_t length = 0;
    while (namecharacter(line[length]))
        length++;
    const char *field = line[length] == ':' ? strchr(line + length + 1, ':') : nullptr;
    if (length == 0 || length >= size || field == nullptr)
        return false;
    unsigned long long value = 0;
    const char *p = field + 1;
    for (; *p >= '0' && *p <= '9' && value <= 0xffffffffULL; p++)
        value = value * 10 + static_cast<unsigned long long>(*p - '0');
    if (p == field + 1 || *p != ':' || value != uid)
        return false;
    memcpy(name, line, length);
    name[length] = '\0';
    return true;
}

// The caller's user name, read from the system's own password file (no
// name service: nothing loaded, nothing that may wait on the network).
// Empty when the user has no entry there, or a name of other characters.
// Looked up once, at the first record.
const char *callername()
{
    static char name[64];
    static bool looked;
    if (looked)
        return name;
    looked = true;
    int fd = open("/etc/passwd", O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd == -1)
        return name;
    char line[1024];
    size_t length = 0;
    bool longline = false;
    char buf[4096];
    ssize_t n;
    while (name[0] == '\0' && (n = read(fd, buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n && name[0] == '\0'; i++) {
            if (buf[i] != '\n') {
                if (length + 1 < sizeof line)
                    line[length++] = buf[i];
                else
                    longline = true;
                continue;
            }
            line[length] = '\0';
            if (!longline)
                passwdentry(line, calleruid, name, sizeof name);
            length = 0;
            longline = false;
        }
    }
    // A last line without its line feed.
    line[length] = '\0';
    if (name[0] == '\0' && !longline)
        passwdentry(line, calleruid, name, sizeof name);
    close(fd);
    return name;
}

// The tag and the caller: "<PRI>Mmm dd hh:mm:ss NAME[PID]: user=U uid=N".
// The stamp is UTC: readers of the local socket stamp records with their
// own time of receipt, and the caller's TZ must not shape a root record.
void begin(Record &record, int priority)
{
    record.length = 0;
    record.cut = false;
    record.text[0] = '\0';
    if (!callerknown)
        notecaller();
    time_t now = time(nullptr);
    struct tm stamp;
    char when[32] = "";
    if (gmtime_r(&now, &stamp) != nullptr)
        strftime(when, sizeof when, "%b %e %H:%M:%S", &stamp);
    char head[128];
    snprintf(head, sizeof head, "<%d>%s %.40s[%ld]: ", priority, when, helpername,
             static_cast<long>(getpid()));
    put(record, head);
    const char *name = callername();
    if (name[0] != '\0') {
        put(record, "user=");
        put(record, name);
        put(record, " ");
    }
    char uid[32];
    snprintf(uid, sizeof uid, "uid=%lu ", calleruid);
    put(record, uid);
}

// The socket connected to the system log, made at the first record and
// kept for the run (close-on-exec: no command inherits it). kUnopened
// until then; -1 once there is known to be no log (no /dev/log, or no
// one reading it), so that a run without a log tries only once.
const int kUnopened = -2;
int systemlog = kUnopened;
int waitleft = kRunWaitMs;  // what is left of the run's wait

bool nolog(int error)
{
    return error == ENOENT || error == ECONNREFUSED || error == ENOTDIR || error == ENOTSOCK ||
           error == EPROTOTYPE || error == EACCES;
}

void forgetlog()
{
    if (systemlog >= 0)
        close(systemlog);
    systemlog = -1;
}

// The system log, or -1 when there is none (or the program is no helper):
// then no record is even made. Connecting never waits.
int opensystemlog()
{
    if (helpername[0] == '\0')
        return -1;
    if (systemlog != kUnopened)
        return systemlog;
    systemlog = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (systemlog == -1)
        return -1;
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, "/dev/log", sizeof "/dev/log");
    if (connect(systemlog, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0)
        forgetlog();
    return systemlog;
}

long long nowms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Sends the record as one datagram. A full queue is waited for, at most
// kRecordWaitMs for this record and what is left of the run's kRunWaitMs;
// then, or on any other failure, the record is dropped: the log is a
// witness, never a condition of the action. A log that is gone is
// forgotten for the rest of the run.
void sendrecord(Record &record)
{
    if (record.cut) {
        memcpy(record.text + record.length, kCutMark, sizeof kCutMark);
        record.length += sizeof kCutMark - 1;
    }
    long long deadline = nowms() + (waitleft < kRecordWaitMs ? waitleft : kRecordWaitMs);
    for (;;) {
        if (send(systemlog, record.text, record.length, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
            return;
        if (nolog(errno)) {
            forgetlog();
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return;
        long long start = nowms();
        if (start >= deadline)
            return;
        struct pollfd room = {systemlog, POLLOUT, 0};
        int ready = poll(&room, 1, static_cast<int>(deadline - start));
        long long spent = nowms() - start;
        waitleft -= spent < waitleft ? static_cast<int>(spent) : waitleft;
        if (ready == 0 || (ready == -1 && errno != EINTR))
            return;
    }
}

// The record of a command: before it starts, and once it has ended (or
// could not be run) with its status, which comes before the caller's
// text.
void recordcommand(const char *command, bool ended, int status)
{
    int saved = errno;
    if (opensystemlog() != -1) {
        Record record;
        begin(record, kNotice);
        if (ended) {
            char field[32];
            snprintf(field, sizeof field, "status=%d ", commandstatus(status));
            put(record, field);
        }
        putquoted(record, "command", command, kRecordSize);
        sendrecord(record);
    }
    errno = saved;
}

} // namespace

void notecaller()
{
    calleruid = static_cast<unsigned long>(getuid());
    callerknown = true;
}

void auditstart(const char *command)
{
    recordcommand(command, false, 0);
}

int auditcommand(const char *command, int status)
{
    recordcommand(command, true, status);
    return status;
}

void auditrefusal(const char *reason, const char *argument)
{
    int saved = errno;
    if (opensystemlog() != -1) {
        Record record;
        begin(record, kWarning);
        putquoted(record, "refused", reason, kRecordSize);
        if (argument != nullptr) {
            put(record, " ");
            putquoted(record, "argument", argument, kShownArgument);
        }
        sendrecord(record);
    }
    errno = saved;
}

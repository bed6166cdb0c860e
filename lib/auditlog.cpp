// The audit trail of root actions: one system-log record for every
// command a helper ran as root and for every request it refused, saying
// who asked. Records go to /dev/log as single datagrams of facility
// authpriv, sent without ever waiting: a log reader that is missing, slow
// or stuck costs the helper a dropped record, never a delay, and nothing
// the helper prints or returns changes. No descriptor outlives a record.
#include "setuid.h"

#include <errno.h>
#include <fcntl.h>
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
const char *shownline;       // what the next command's record shows instead

// One record being built: at most a command line of 1023 characters with
// every byte escaped, and the fixed fields around it. A value that does
// not fit is cut, and the record says so.
struct Record {
    char text[4608];
    size_t length;
    bool cut;
};

void put(Record &record, const char *text)
{
    size_t size = strlen(text);
    if (record.length + size >= sizeof record.text) {
        record.cut = true;
        return;
    }
    memcpy(record.text + record.length, text, size + 1);
    record.length += size;
}

// Appends `key="value"` with at most `limit` bytes of the value. Quotes
// and backslashes are escaped with a backslash; control characters, DEL
// and every byte beyond ASCII as \xHH, so that a value can neither end its
// field nor start a line (a forged second record) in any reader.
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
        // Room is kept for the closing quote and the fields after it.
        if (record.length + strlen(escaped) + 64 >= sizeof record.text)
            break;
        put(record, escaped);
    }
    if (value[i] != '\0')
        record.cut = true;
    put(record, "\"");
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

// A socket connected to the system log, or -1 when there is none (or the
// program is no helper): then no record is even made. Connecting never
// waits; only sending could, and that is asked not to.
int opensystemlog()
{
    if (helpername[0] == '\0')
        return -1;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, "/dev/log", sizeof "/dev/log");
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends the record as one datagram and closes the socket. A full queue or
// any other failure drops the record: the log is a witness, never a
// condition of the action.
void sendrecord(int fd, Record &record)
{
    if (record.cut)
        put(record, " cut=yes");
    if (send(fd, record.text, record.length, MSG_DONTWAIT | MSG_NOSIGNAL) == -1) {
        // Dropped.
    }
    close(fd);
}

} // namespace

void notecaller()
{
    calleruid = static_cast<unsigned long>(getuid());
    callerknown = true;
}

void auditshowas(const char *shown)
{
    shownline = shown;
}

int auditcommand(const char *command, int status)
{
    int saved = errno;
    const char *shown = shownline != nullptr ? shownline : command;
    shownline = nullptr;
    int fd = opensystemlog();
    if (fd == -1) {
        errno = saved;
        return status;
    }
    Record record;
    begin(record, kNotice);
    putquoted(record, "command", shown, sizeof record.text);
    char tail[32];
    snprintf(tail, sizeof tail, " status=%d", commandstatus(status));
    put(record, tail);
    sendrecord(fd, record);
    errno = saved;
    return status;
}

void auditrefusal(const char *reason, const char *argument)
{
    int saved = errno;
    int fd = opensystemlog();
    if (fd == -1) {
        errno = saved;
        return;
    }
    Record record;
    begin(record, kWarning);
    putquoted(record, "refused", reason, sizeof record.text);
    if (argument != nullptr) {
        put(record, " ");
        putquoted(record, "argument", argument, kShownArgument);
    }
    sendrecord(fd, record);
    errno = saved;
}

// Debug, access and error logs, and the syslog fallbacks.
//
// Every message of the system passes through the four message functions
// below.  Their text is formatted once, then control characters are escaped,
// so nothing a client sends (a user name, a reason text) can start a line of
// its own or forge one.
#include "log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include "methods.h"
#include "peer.h"

extern "C" {
FILE *debugLog = nullptr;
FILE *accessLog = nullptr;
FILE *errorLog = nullptr;

const PathPrefix pathPrefixList[] = {
    {"/bin/", 5},          {"/dev/", 5},         {"/etc/", 5},        {"/lib/", 5},
    {"/opt/", 5},          {"/proc/", 6},        {"/sbin", 5},        {"/usr/aix/", 9},
    {"/usr/bin/", 9},      {"/usr/ccs/", 9},     {"/usr/conf/", 10},  {"/usr/dict/", 10},
    {"/usr/etc/", 9},      {"/usr/include/", 13}, {"/usr/lbin/", 10}, {"/usr/lib/", 9},
    {"/usr/lpd/", 9},      {"/usr/lpp/", 9},     {"/usr/man/", 9},    {"/usr/opt/", 9},
    {"/usr/proc/", 10},    {"/usr/sadm/", 10},   {"/usr/sam/", 9},    {"/usr/sbin/", 10},
    {"/usr/sfw/", 9},      {"/usr/share/", 11},  {"/usr/sys/", 9},    {"/usr/sysv/", 10},
    {"/usr/tsm/", 9},      {"/usr/ucb/", 9},     {"/usr/ucbinclude/", 16},
    {"/usr/ucblib/", 12},  {"/usr/xpg4/", 10},   {nullptr, 0},
};
}

namespace {

// syslog text is bounded by the 2048-byte buffer of the original format.
constexpr size_t kSyslogText = 2047;
constexpr size_t kMaxLogPath = 1023;
constexpr char kIdent[] = "kiv-services-daemon";

// The syslog identity is process-wide; this keeps errorMessage's
// openlog/closelog pair from relabelling another thread's warning.
std::mutex syslogMutex;

void appendEscaped(std::string &out, const char *text, size_t len) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7f) {
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            const char esc[] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
            out.append(esc, sizeof esc);
        }
    }
}

// The message text with control characters escaped.  Never throws: without
// memory for the whole text, a bounded stack copy is used instead.
class Text {
public:
    Text(const char *format, va_list ap) noexcept {
        if (format == nullptr) format = "";
        va_list copy;
        va_copy(copy, ap);
        char small[512];
        int n = vsnprintf(small, sizeof small, format, ap);
        try {
            if (n < 0) {
                text_ = "(unformattable message)";
            } else if (static_cast<size_t>(n) < sizeof small) {
                appendEscaped(text_, small, n);
            } else {
                std::string raw(static_cast<size_t>(n) + 1, '\0');
                vsnprintf(raw.data(), raw.size(), format, copy);
                text_.reserve(raw.size());
                appendEscaped(text_, raw.data(), n);
            }
            ok_ = true;
        } catch (...) {
            ok_ = false;
        }
        if (!ok_) {
            // Out of memory: keep the first bytes, control characters as "?".
            size_t len = n > 0 ? static_cast<size_t>(n) : 0;
            if (len >= sizeof small) len = sizeof small - 1;
            size_t j = 0;
            for (size_t i = 0; i < len && j < sizeof fallback_ - 1; ++i) {
                unsigned char c = static_cast<unsigned char>(small[i]);
                fallback_[j++] = (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
            }
            fallback_[j] = '\0';
        }
        va_end(copy);
    }

    // Appends plain text (no escaping); dropped without memory.
    void append(const char *more) noexcept {
        if (!ok_) return;
        try {
            text_ += more;
        } catch (...) {
        }
    }

    const char *data() const { return ok_ ? text_.c_str() : fallback_; }
    size_t size() const { return ok_ ? text_.size() : strlen(fallback_); }

    // Length of a prefix of at most max bytes that does not split an escape.
    size_t cut(size_t max) const {
        size_t len = size();
        if (len <= max) return len;
        const char *p = data();
        size_t pos = 0;
        while (pos < max) {
            size_t step = 1;
            if (p[pos] == '\\' && pos + 1 < len) step = p[pos + 1] == 'x' ? 4 : 2;
            if (pos + step > max) break;
            pos += step;
        }
        return pos;
    }

private:
    std::string text_;
    char fallback_[512];
    bool ok_ = false;
};

// The caller's thread id, asked of the kernel once per thread.  A fork
// (detaching at start-up) gives the calling thread a new id, so the cache is
// tied to the fork generation.
std::atomic<unsigned> forkGeneration{0};

int threadId() {
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1, std::memory_order_relaxed); });
        return true;
    }();
    (void)registered;
    thread_local unsigned cachedGeneration = ~0u;
    thread_local int cachedTid = 0;
    const unsigned generation = forkGeneration.load(std::memory_order_relaxed);
    if (cachedGeneration != generation) {
        cachedTid = static_cast<int>(gettid());
        cachedGeneration = generation;
    }
    return cachedTid;
}

// One line: "<time> [<tid>] <text>\n", written at once.
void writeLine(FILE *f, const Text &text) {
    if (f == nullptr) return;
    char prefix[300];
    size_t prefixLen = 0;
    time_t now = time(nullptr);
    struct tm local;
    char stamp[255];
    if (localtime_r(&now, &local) != nullptr && strftime(stamp, sizeof stamp, "%Y%m%d-%T", &local) > 0) {
        int n = snprintf(prefix, sizeof prefix, "%s [%d] ", stamp, threadId());
        if (n > 0) prefixLen = static_cast<size_t>(n) < sizeof prefix ? n : sizeof prefix - 1;
    }
    const int fd = fileno(f);
    if (fd < 0) {
        // A stream without a descriptor: the stream lock keeps the line together.
        flockfile(f);
        fwrite(prefix, 1, prefixLen, f);
        fwrite(text.data(), 1, text.size(), f);
        fputc('\n', f);
        fflush(f);
        funlockfile(f);
        return;
    }
    // The whole line in one writev: the kernel keeps lines of concurrent
    // threads apart, without a stream lock to contend for or a buffer to flush.
    char newline = '\n';
    struct iovec parts[3] = {
        {prefix, prefixLen},
        {const_cast<char *>(text.data()), text.size()},
        {&newline, 1},
    };
    struct iovec *next = parts;
    int left = 3;
    while (left > 0) {
        ssize_t w = writev(fd, next, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        // A short write (a full disk, a signal): go on after what was written.
        size_t done = static_cast<size_t>(w);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char *>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
}

void syslogError(const Text &text) {
    int len = static_cast<int>(text.cut(kSyslogText));
    std::lock_guard<std::mutex> guard(syslogMutex);
    openlog(kIdent, LOG_PID, LOG_USER);
    syslog(LOG_ERR, "%.*s", len, text.data());
    closelog();
}

void syslogWarning(const Text &text) {
    int len = static_cast<int>(text.cut(kSyslogText));
    std::lock_guard<std::mutex> guard(syslogMutex);
    syslog(LOG_WARNING, "[kiv-services-daemon] %.*s", len, text.data());
}

// A log name may hold one "%d" (the process id) and any number of "%%".
// Anything else after a '%' is refused: the name never reaches a formatter.
bool validLogName(const char *name) {
    bool seenPid = false;
    for (const char *p = name; *p != '\0'; ++p) {
        if (*p != '%') continue;
        if (p[1] == 'd' && !seenPid)
            seenPid = true;
        else if (p[1] != '%')
            return false;
        ++p;
    }
    return true;
}

// Expands a valid log name; false when the result exceeds kMaxLogPath.
bool expandLogName(const char *name, char (&out)[kMaxLogPath + 1]) {
    char pid[24];
    int pidLen = snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    size_t len = 0;
    for (const char *p = name; *p != '\0'; ++p) {
        const char *piece = p;
        size_t n = 1;
        if (*p == '%') {
            if (p[1] == 'd') {
                piece = pid;
                n = static_cast<size_t>(pidLen);
            }
            ++p;
        }
        if (len + n > kMaxLogPath) return false;
        memcpy(out + len, piece, n);
        len += n;
    }
    out[len] = '\0';
    return true;
}

struct LogSlot {
    const char *key;
    const char *what;  // for "Could not open %s log file %s"
    FILE **stream;
    mode_t mode;
};

// Creates or truncates a log.  The daemon runs with umask 0, so the mode is
// given explicitly: nobody but root may write a log.
FILE *openLog(const char *path, mode_t mode) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return nullptr;
    // An existing file keeps its mode through O_TRUNC; take write permission
    // away from group and others all the same.
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        fchmod(fd, st.st_mode & 07777 & ~(S_IWGRP | S_IWOTH));
    FILE *f = fdopen(fd, "w");
    if (f == nullptr) close(fd);
    return f;
}

void openConfiguredLog(const LogSlot &slot, const char *value) {
    char path[kMaxLogPath + 1];
    if (!validLogName(value)) {
        errorMessage("Invalid log file name %s: only one %%d is allowed", value);
        return;
    }
    if (!expandLogName(value, path)) {
        errorMessage("Invalid log file name %s: longer than %d characters", value,
                     static_cast<int>(kMaxLogPath));
        return;
    }
    if (validateLogPath(path) != 0) {
        errorMessage("Cannot create log file %s in system directory", path);
    } else if (*slot.stream != nullptr) {
        warningMessage("Multiple %s lines found in config file. Ignored: %s", slot.key, path);
    } else {
        FILE *f = openLog(path, slot.mode);
        if (f == nullptr)
            errorMessage("Could not open %s log file %s", slot.what, path);
        else
            *slot.stream = f;
    }
}

} // namespace

extern "C" void debugMessage(const char *format, ...) {
    if (debugLog == nullptr) return;
    va_list ap;
    va_start(ap, format);
    Text text(format, ap);
    va_end(ap);
    writeLine(debugLog, text);
}

extern "C" void accessMessage(const char *format, ...) {
    if (accessLog == nullptr && debugLog == nullptr) return;
    va_list ap;
    va_start(ap, format);
    Text text(format, ap);
    va_end(ap);
    if (const char *peer = accessPeerSuffix()) text.append(peer);
    writeLine(accessLog, text);
    writeLine(debugLog, text);
}

extern "C" void warningMessage(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Text text(format, ap);
    va_end(ap);
    if (errorLog != nullptr)
        writeLine(errorLog, text);
    else
        syslogWarning(text);
    writeLine(debugLog, text);
}

extern "C" void errorMessage(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Text text(format, ap);
    va_end(ap);
    if (errorLog != nullptr)
        writeLine(errorLog, text);
    else
        syslogError(text);
    writeLine(debugLog, text);
}

extern "C" int validateLogPath(const char *path) {
    if (path == nullptr) return -1;
    size_t len = strlen(path);
    for (int i = 0; pathPrefixList[i].length != 0; ++i) {
        size_t plen = static_cast<size_t>(pathPrefixList[i].length);
        if (plen < len && strncmp(path, pathPrefixList[i].prefix, plen) == 0) return i + 1;
    }
    return 0;
}

extern "C" void initLogs(ConfigEntry *list, int count, AuthLog *log) {
    const LogSlot slots[] = {
        {"debugLog", "debug", &debugLog, 0600},
        {"accessLog", "access", &accessLog, 0644},
        {"errorLog", "error", &errorLog, 0644},
    };
    const char *owner = nullptr;
    for (int i = 0; list != nullptr && i < count; ++i) {
        const char *key = list[i].key;
        const char *value = list[i].value;
        if (key == nullptr || value == nullptr) continue;
        for (const LogSlot &slot : slots)
            if (strcasecmp(key, slot.key) == 0) openConfiguredLog(slot, value);
        if (strcasecmp(key, "logOwner") == 0) {
            owner = value;
        } else if (strcasecmp(key, "debugNoPasswords") == 0) {
            if (log != nullptr) log->showPasswords = strcasecmp(value, "true") == 0 ? 0 : 1;
        } else if (strcasecmp(key, "disableGSS") == 0) {
            if (strcasecmp(value, "yes") == 0 || strcasecmp(value, "y") == 0 ||
                strcasecmp(value, "1") == 0)
                disableGSS = 1;
        }
    }
    if (debugLog != nullptr) {
        int fd = fileno(debugLog);
        if (owner != nullptr) {
            [[maybe_unused]] int rc = fchown(fd, static_cast<uid_t>(atol(owner)), static_cast<gid_t>(-1));
        }
        [[maybe_unused]] int rc = fchmod(fd, 0600);
    }
}

extern "C" void closeLogs(void) {
    debugMessage("Closing logs.");
    FILE **streams[] = {&debugLog, &accessLog, &errorLog};
    for (FILE **stream : streams) {
        FILE *f = *stream;
        *stream = nullptr;
        if (f != nullptr) fclose(f);
    }
}

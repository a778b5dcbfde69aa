// Debug, access and error logs, and the syslog fallbacks.
//
// Every message of the system passes through one path: the text is formatted
// once, escaped so that nothing a client sends (a user name, a reason text)
// can start a line of its own or pass for another line, and then written to
// each sink of its level.  The four message functions are thin entry points.
//
// Log files are opened as root in directories an administrator chose, which
// may be writable by others: a log is never reached through a symbolic link,
// never a device, FIFO or hard link to another file, and its mode and owner
// are changed only through the descriptor that was checked.
#include "log.h"

#include <fcntl.h>
#include <limits.h>
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

// The syslog identity is process-wide; this keeps one sink's openlog/closelog
// pair from relabelling another thread's message.
std::mutex syslogMutex;

// "accessSyslog": access lines also go to syslog (authpriv).  Set at start-up.
std::atomic<bool> accessToSyslog{false};

// Length of the valid UTF-8 sequence that starts at p (n bytes available),
// or 0.  C1 controls (U+0080..U+009F) are valid UTF-8, but terminals act on
// them, so they count as invalid here and are escaped byte by byte.
size_t utf8Length(const unsigned char *p, size_t n) {
    const unsigned char c = p[0];
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
        if (c == 0xc2) lo = 0xa0;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        if (c == 0xe0) lo = 0xa0;  // no overlong forms
        if (c == 0xed) hi = 0x9f;  // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi) return 0;
    for (size_t i = 2; i < len; ++i)
        if ((p[i] & 0xc0) != 0x80) return 0;
    return len;
}

// Printable ASCII and valid UTF-8 go in as they are; a backslash is doubled,
// newline, carriage return and tab become \n, \r, \t, and every other byte
// \xNN.  So every line of a log is one message, and reads back unambiguously.
void appendEscaped(std::string &out, const char *text, size_t len) {
    static const char hex[] = "0123456789abcdef";
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = bytes[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (size_t n = c >= 0x80 ? utf8Length(bytes + i, len - i) : 0; n > 0) {
            out.append(text + i, n);
            i += n - 1;
        } else {
            const char esc[] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
            out.append(esc, sizeof esc);
        }
    }
}

// The escaped text of one message.  Never throws: without memory for the
// whole text, a bounded stack copy is used instead.
class Text {
public:
    // keepFinalNewline: a single newline at the end is the record's end, as
    // syslog(3) callers often write it, and stays as it is.
    Text(const char *format, va_list ap, bool keepFinalNewline = false) noexcept {
        if (format == nullptr) format = "";
        va_list copy;
        va_copy(copy, ap);
        char small[512];
        int n = vsnprintf(small, sizeof small, format, ap);
        try {
            if (n < 0) {
                text_ = "(unformattable message)";
            } else {
                std::string large;
                const char *raw = small;
                if (static_cast<size_t>(n) >= sizeof small) {
                    large.assign(static_cast<size_t>(n) + 1, '\0');
                    vsnprintf(large.data(), large.size(), format, copy);
                    raw = large.data();
                }
                size_t len = static_cast<size_t>(n);
                const bool finalNewline = keepFinalNewline && len > 0 && raw[len - 1] == '\n';
                if (finalNewline) --len;
                text_.reserve(len + 1);
                appendEscaped(text_, raw, len);
                if (finalNewline) text_ += '\n';
            }
            ok_ = true;
        } catch (...) {
            ok_ = false;
        }
        if (!ok_) {
            // Out of memory: keep the first bytes, anything but plain ASCII as "?".
            size_t len = n > 0 ? static_cast<size_t>(n) : 0;
            if (len >= sizeof small) len = sizeof small - 1;
            size_t j = 0;
            for (size_t i = 0; i < len && j < sizeof fallback_ - 1; ++i) {
                unsigned char c = static_cast<unsigned char>(small[i]);
                fallback_[j++] = (c < 0x20 || c >= 0x7f || c == '\\') ? '?' : static_cast<char>(c);
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

    // Length of a prefix of at most max bytes that splits neither an escape
    // nor a UTF-8 character.
    size_t cut(size_t max) const {
        size_t len = size();
        if (len <= max) return len;
        const auto *p = reinterpret_cast<const unsigned char *>(data());
        size_t pos = 0;
        while (pos < max) {
            size_t step = 1;
            if (p[pos] == '\\' && pos + 1 < len)
                step = p[pos + 1] == 'x' ? 4 : 2;
            else if (p[pos] >= 0xf0)
                step = 4;
            else if (p[pos] >= 0xe0)
                step = 3;
            else if (p[pos] >= 0xc0)
                step = 2;
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

// One line: "<time> [<tid>] <text>\n", in one writev.  The kernel keeps the
// lines of concurrent threads apart, and the descriptor is opened O_APPEND,
// so a line always lands at the current end of the file, even after someone
// else truncated it.
void writeLine(FILE *f, const Text &text) {
    if (f == nullptr) return;
    const int fd = fileno(f);
    if (fd < 0) return;
    char prefix[300];
    size_t prefixLen = 0;
    time_t now = time(nullptr);
    struct tm local;
    char stamp[255];
    if (localtime_r(&now, &local) != nullptr && strftime(stamp, sizeof stamp, "%Y%m%d-%T", &local) > 0) {
        int n = snprintf(prefix, sizeof prefix, "%s [%d] ", stamp, threadId());
        if (n > 0) prefixLen = static_cast<size_t>(n) < sizeof prefix ? n : sizeof prefix - 1;
    }
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

// Errors: our own identity with the pid, opened and closed around the message.
void syslogError(const Text &text) {
    int len = static_cast<int>(text.cut(kSyslogText));
    std::lock_guard<std::mutex> guard(syslogMutex);
    openlog(kIdent, LOG_PID, LOG_USER);
    syslog(LOG_ERR, "%.*s", len, text.data());
    closelog();
}

// Warnings: the process's default identity, the daemon's name in the text.
void syslogWarning(const Text &text) {
    int len = static_cast<int>(text.cut(kSyslogText));
    std::lock_guard<std::mutex> guard(syslogMutex);
    syslog(LOG_WARNING, "[kiv-services-daemon] %.*s", len, text.data());
}

// Access lines for journald, fail2ban and the like: authpriv, as other
// authentication services log their logins.
void syslogAccess(const Text &text) {
    int len = static_cast<int>(text.cut(kSyslogText));
    std::lock_guard<std::mutex> guard(syslogMutex);
    openlog(kIdent, LOG_PID, LOG_AUTHPRIV);
    syslog(LOG_AUTHPRIV | LOG_INFO, "%.*s", len, text.data());
    closelog();
}

enum class Level { Debug, Access, Warning, Error };

// Where a message of each level goes besides the debug log.
struct Route {
    FILE *file;
    void (*toSyslog)(const Text &);
};

Route routeOf(Level level) {
    switch (level) {
    case Level::Access:
        return {accessLog, accessToSyslog.load(std::memory_order_relaxed) ? syslogAccess : nullptr};
    case Level::Warning:
        return {errorLog, errorLog == nullptr ? syslogWarning : nullptr};
    case Level::Error:
        return {errorLog, errorLog == nullptr ? syslogError : nullptr};
    case Level::Debug:
        break;
    }
    return {nullptr, nullptr};
}

// The one formatting-and-write path: every sink receives the same text, the
// level's own sink first, the debug log last.
void logMessage(Level level, const char *format, va_list ap) {
    const Route route = routeOf(level);
    FILE *debug = debugLog;
    if (route.file == nullptr && route.toSyslog == nullptr && debug == nullptr) return;
    Text text(format, ap);
    if (level == Level::Access) {
        if (const char *peer = accessPeerSuffix()) text.append(peer);
    }
    writeLine(route.file, text);
    if (route.toSyslog != nullptr) route.toSyslog(text);
    writeLine(debug, text);
}

// Yes/no switches: true/yes/on/1 and false/no/off/0, in any case.
enum class Switch { On, Off, Invalid };

Switch parseSwitch(const char *value) {
    for (const char *word : {"true", "yes", "on", "1"})
        if (strcasecmp(value, word) == 0) return Switch::On;
    for (const char *word : {"false", "no", "off", "0"})
        if (strcasecmp(value, word) == 0) return Switch::Off;
    return Switch::Invalid;
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

// Owns a descriptor until released.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// The absolute path the kernel resolved for an open directory.
bool resolvedPath(int dirFd, const std::string &given, std::string &out) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirFd);
    char buf[PATH_MAX];
    ssize_t n = readlink(link, buf, sizeof buf - 1);
    if (n > 0 && buf[0] == '/') {
        out.assign(buf, static_cast<size_t>(n));
        return true;
    }
    // Without /proc: resolve the name instead.
    char *real = realpath(given.c_str(), nullptr);
    if (real == nullptr) return false;
    out = real;
    free(real);
    return true;
}

constexpr int kOpenFailed = -1;
constexpr int kSystemDirectory = -2;

// Opens a log for appending, creating it with `mode` (the daemon's umask is
// 0).  The system-directory rule is applied to the directory as the kernel
// resolved it, so "//etc/x", "/tmp/../etc/x" or a link to /etc do not slip
// through.  The file itself must be a regular file with one link, reached
// without following a symbolic link; only then is it truncated (unless
// `truncate` is false) and its permissions narrowed to `mode`, both through
// the descriptor.  Returns the descriptor, kSystemDirectory, or kOpenFailed
// (a refusal is explained through errorMessage first).
int openLogFile(const char *path, mode_t mode, bool truncate) {
    const std::string name(path);
    const size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (base.empty()) return kOpenFailed;

    Fd dirFd(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0) return kOpenFailed;
    std::string real;
    if (!resolvedPath(dirFd.get(), dir, real)) return kOpenFailed;
    const std::string full = (real == "/" ? "" : real) + "/" + base;
    if (validateLogPath(full.c_str()) != 0) return kSystemDirectory;

    // O_NONBLOCK: opening a planted FIFO must not wait for a reader.
    Fd fd(openat(dirFd.get(), base.c_str(),
                 O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, mode));
    if (fd.get() < 0) {
        if (errno == ELOOP) errorMessage("Refusing log file %s: it is a symbolic link", path);
        return kOpenFailed;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return kOpenFailed;
    if (!S_ISREG(st.st_mode)) {
        errorMessage("Refusing log file %s: not a regular file", path);
        return kOpenFailed;
    }
    if (st.st_nlink != 1) {
        errorMessage("Refusing log file %s: it has %d links", path, static_cast<int>(st.st_nlink));
        return kOpenFailed;
    }
    if (fcntl(fd.get(), F_SETFL, O_APPEND) != 0) return kOpenFailed;
    if (truncate && ftruncate(fd.get(), 0) != 0) return kOpenFailed;
    const mode_t narrowed = st.st_mode & mode & 07777;
    if ((st.st_mode & 07777) != narrowed && fchmod(fd.get(), narrowed) != 0) return kOpenFailed;
    return fd.release();
}

struct LogFile {
    const char *key;   // configuration key
    const char *what;  // for "Could not open %s log file %s"
    FILE **stream;
    mode_t mode;
    std::string path;  // as opened, for reopening
};

// Authentication logs are 0640, as on the rest of a Debian system; the debug
// log may hold more and is 0600.
LogFile logFiles[] = {
    {"debugLog", "debug", &debugLog, 0600, {}},
    {"accessLog", "access", &accessLog, 0640, {}},
    {"errorLog", "error", &errorLog, 0640, {}},
};

// "logOwner" (the debug log's owner), kept for reopening.
bool ownerSet = false;
uid_t ownerUid = 0;

void applyOwner(const LogFile &file, int fd) {
    if (ownerSet && file.stream == &debugLog) {
        [[maybe_unused]] int rc = fchown(fd, ownerUid, static_cast<gid_t>(-1));
    }
}

void openConfiguredLog(LogFile &file, const char *value, bool truncate) {
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
        return;
    }
    if (*file.stream != nullptr) {
        warningMessage("Multiple %s lines found in config file. Ignored: %s", file.key, path);
        return;
    }
    int fd = openLogFile(path, file.mode, truncate);
    if (fd == kSystemDirectory) {
        errorMessage("Cannot create log file %s in system directory", path);
        return;
    }
    FILE *f = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (f == nullptr) {
        if (fd >= 0) close(fd);
        errorMessage("Could not open %s log file %s", file.what, path);
        return;
    }
    file.path = path;
    *file.stream = f;
}

} // namespace

extern "C" void debugMessage(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    logMessage(Level::Debug, format, ap);
    va_end(ap);
}

extern "C" bool accessLinesToSyslog(void) { return accessToSyslog.load(std::memory_order_relaxed); }

extern "C" void accessMessage(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    logMessage(Level::Access, format, ap);
    va_end(ap);
}

extern "C" void warningMessage(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    logMessage(Level::Warning, format, ap);
    va_end(ap);
}

extern "C" void errorMessage(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    logMessage(Level::Error, format, ap);
    va_end(ap);
}

extern "C" void systemLogMessage(int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Text text(format, ap, true);
    va_end(ap);
    int len = static_cast<int>(text.cut(kSyslogText));
    std::lock_guard<std::mutex> guard(syslogMutex);
    syslog(priority, "%.*s", len, text.data());
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
    ownerSet = false;
    accessToSyslog = false;
    // "appendLogs" decides how every log is opened, wherever the key stands.
    bool append = false;
    for (int i = 0; list != nullptr && i < count; ++i)
        if (list[i].key != nullptr && list[i].value != nullptr && strcasecmp(list[i].key, "appendLogs") == 0)
            append = parseSwitch(list[i].value) == Switch::On;

    for (int i = 0; list != nullptr && i < count; ++i) {
        const char *key = list[i].key;
        const char *value = list[i].value;
        if (key == nullptr || value == nullptr) continue;
        for (LogFile &file : logFiles)
            if (strcasecmp(key, file.key) == 0) openConfiguredLog(file, value, !append);
        if (strcasecmp(key, "logOwner") == 0) {
            ownerSet = true;
            ownerUid = static_cast<uid_t>(atol(value));
        } else if (strcasecmp(key, "debugNoPasswords") == 0) {
            const Switch s = parseSwitch(value);
            if (s == Switch::Invalid)
                warningMessage("Invalid value for debugNoPasswords: %s (yes or no); passwords are hidden", value);
            if (log != nullptr) log->showPasswords = s == Switch::Off ? 1 : 0;
        } else if (strcasecmp(key, "appendLogs") == 0) {
            if (parseSwitch(value) == Switch::Invalid)
                warningMessage("Invalid value for appendLogs: %s (yes or no); logs are truncated", value);
        } else if (strcasecmp(key, "accessSyslog") == 0) {
            const Switch s = parseSwitch(value);
            if (s == Switch::Invalid)
                warningMessage("Invalid value for accessSyslog: %s (yes or no); access lines stay out of syslog",
                               value);
            accessToSyslog = s == Switch::On;
        } else if (strcasecmp(key, "disableGSS") == 0) {
            if (strcasecmp(value, "yes") == 0 || strcasecmp(value, "y") == 0 ||
                strcasecmp(value, "1") == 0)
                disableGSS = 1;
        }
    }
    if (debugLog != nullptr) applyOwner(logFiles[0], fileno(debugLog));
}

extern "C" void reopenLogs(void) {
    for (LogFile &file : logFiles) {
        if (*file.stream == nullptr) continue;
        const char *path = file.path.c_str();
        int fd = openLogFile(path, file.mode, false);
        if (fd == kSystemDirectory) errorMessage("Cannot create log file %s in system directory", path);
        if (fd < 0) {
            errorMessage("Could not reopen %s log file %s", file.what, path);
            continue;
        }
        applyOwner(file, fd);
        // The stream's descriptor number stays; only the file behind it
        // changes, in one step, so writers on other threads never see a
        // closed descriptor.
        if (dup3(fd, fileno(*file.stream), O_CLOEXEC) < 0)
            errorMessage("Could not reopen %s log file %s", file.what, path);
        close(fd);
    }
}

extern "C" void closeLogs(void) {
    debugMessage("Closing logs.");
    for (LogFile &file : logFiles) {
        FILE *f = *file.stream;
        *file.stream = nullptr;
        if (f != nullptr) fclose(f);
    }
}

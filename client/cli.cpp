// kiv-services-client: asks the daemon whether USER's password (or token) is
// good and prints the answer.  The exit status tells each outcome apart.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <kivclient.h>

namespace {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitOtherCode = 8;     // a result code without a status of its own
constexpr int kExitTransport = 9;     // no usable reply: connect, timeout, malformed reply
constexpr int kExitUsage = 64;        // bad arguments, over-long name/password/token
constexpr int kExitNoInput = 66;      // the password or token could not be read

const char kUsage[] =
    "usage: kiv-services-client [--stdin] [--token-file FILE] [--socket PATH]\n"
    "                           [--timeout SECONDS] USER\n"
    "\n"
    "Asks kiv-services-daemon whether USER's password is good.  The password is\n"
    "read from the terminal without echo.\n"
    "\n"
    "  --stdin            read the password as one line from standard input\n"
    "  --token-file FILE  send the bytes of FILE as a GSS token instead\n"
    "  --socket PATH      daemon socket (default /var/run/kiv-services-daemon_socket)\n"
    "  --timeout SECONDS  limit on each connect, read and write (default 10)\n"
    "  --help             show this text\n"
    "\n"
    "Prints \"result: <code>\", and on success \"uid: <uid>\", \"groups: <ids>\"\n"
    "and \"name: <name>\".\n"
    "\n"
    "Exit status:\n"
    "  0   AUTH_OK\n"
    "  2   AUTH_ERROR\n"
    "  3   AUTH_NOT_PRIVILEGED\n"
    "  4   AUTH_EXPIRED\n"
    "  5   AUTH_NOAUTH\n"
    "  6   AUTH_UNKNOWN_USER\n"
    "  7   AUTH_REQUEST_FAILED\n"
    "  8   any other result code\n"
    "  9   no usable reply (daemon unreachable, timeout, malformed reply)\n"
    "  64  usage error, or a name or password over 255 bytes\n"
    "  66  the password or token could not be read\n";

int exitStatusFor(int code) {
    switch (code) {
    case KIV_AUTH_OK: return kExitOk;
    case KIV_AUTH_ERROR:
    case KIV_AUTH_NOT_PRIVILEGED:
    case KIV_AUTH_EXPIRED:
    case KIV_AUTH_NOAUTH:
    case KIV_AUTH_UNKNOWN_USER:
    case KIV_AUTH_REQUEST_FAILED: return code;   // 2..7, one status each
    default: return kExitOtherCode;
    }
}

std::string resultName(int code) {
    if (exitStatusFor(code) == kExitOtherCode) return "UNKNOWN(" + std::to_string(code) + ")";
    return kiv_strresult(code);
}

// Frees the library's record on every path.
struct ResultRecord {
    kiv_result *r = nullptr;
    ~ResultRecord() { kiv_result_free(r); }
};

// Holds a secret and wipes it when done.
struct Secret {
    std::string bytes;
    ~Secret() {
        if (!bytes.empty()) explicit_bzero(bytes.data(), bytes.size());
    }
};

// ---- terminal echo, restored on every path including fatal signals ----

volatile sig_atomic_t g_ttyFd = -1;
struct termios g_savedTermios;

void restoreTerminal() {
    int fd = g_ttyFd;
    if (fd >= 0) {
        tcsetattr(fd, TCSAFLUSH, &g_savedTermios);
        g_ttyFd = -1;
    }
}

void onFatalSignal(int sig) {
    int fd = g_ttyFd;
    restoreTerminal();
    if (fd >= 0) (void)!write(fd, "\n", 1);
    signal(sig, SIG_DFL);
    raise(sig);
}

enum class ReadStatus { Ok, TooLong, Failed };

// Reads one line from fd into out, without its '\n'; over 255 bytes is
// TooLong.  The rest of an over-long line is read and dropped: left in a
// terminal it would reach the shell as a command.
ReadStatus readLine(int fd, std::string &out) {
    out.clear();
    bool tooLong = false;
    for (;;) {
        char c;
        ssize_t r = read(fd, &c, 1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return ReadStatus::Failed;
        if (r == 0 || c == '\n') break;
        if (out.size() == static_cast<size_t>(KIVCLIENT_MAX_PASSWORD)) tooLong = true;
        if (!tooLong) out.push_back(c);
    }
    if (!tooLong) return ReadStatus::Ok;
    explicit_bzero(out.data(), out.size());
    out.clear();
    return ReadStatus::TooLong;
}

ReadStatus readPasswordFromTty(std::string &out, std::string &why) {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("cannot open the terminal: ") + std::strerror(errno) + " (use --stdin)";
        return ReadStatus::Failed;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        why = std::string("cannot read terminal settings: ") + std::strerror(errno);
        close(fd);
        return ReadStatus::Failed;
    }
    g_savedTermios = t;
    struct sigaction sa {};
    sa.sa_handler = onFatalSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(s, &sa, nullptr);
    // Being stopped with echo off would leave the shell without echo.
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigaddset(&stop, SIGTTIN);
    sigaddset(&stop, SIGTTOU);
    sigprocmask(SIG_BLOCK, &stop, &old);

    (void)!write(fd, "Password: ", 10);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    g_ttyFd = fd;
    ReadStatus st;
    if (tcsetattr(fd, TCSAFLUSH, &t) != 0) {
        why = std::string("cannot turn off echo: ") + std::strerror(errno);
        st = ReadStatus::Failed;
    } else {
        st = readLine(fd, out);
        if (st == ReadStatus::Failed) why = std::string("reading the terminal: ") + std::strerror(errno);
    }
    restoreTerminal();
    (void)!write(fd, "\n", 1);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(s, &dfl, nullptr);
    close(fd);
    return st;
}

// Reads at most max bytes of path; TooLong if there is more.
ReadStatus readTokenFile(const char *path, std::string &out, std::string &why) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return ReadStatus::Failed;
    }
    const size_t max = KIVCLIENT_MAX_TOKEN;
    out.clear();
    char buf[4096];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            why = std::string("reading ") + path + ": " + std::strerror(errno);
            close(fd);
            return ReadStatus::Failed;
        }
        if (r == 0) break;
        if (out.size() + static_cast<size_t>(r) > max) {
            close(fd);
            return ReadStatus::TooLong;
        }
        out.append(buf, static_cast<size_t>(r));
    }
    close(fd);
    return ReadStatus::Ok;
}

// The reply's name came from the daemon: never let it drive the terminal.
std::string printable(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char b[5];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int usageError(const std::string &msg) {
    std::fprintf(stderr, "kiv-services-client: %s\n%s", msg.c_str(), kUsage);
    return kExitUsage;
}

} // namespace

int main(int argc, char **argv) {
    bool fromStdin = false;
    const char *tokenFile = nullptr;
    const char *socketPath = KIVCLIENT_DEFAULT_SOCKET;
    int timeoutMs = KIVCLIENT_DEFAULT_TIMEOUT_MS;
    static const option longOpts[] = {{"stdin", no_argument, nullptr, 's'},
                                      {"token-file", required_argument, nullptr, 'k'},
                                      {"socket", required_argument, nullptr, 'S'},
                                      {"timeout", required_argument, nullptr, 't'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "+", longOpts, nullptr)) != -1) {
        switch (c) {
        case 's': fromStdin = true; break;
        case 'k': tokenFile = optarg; break;
        case 'S': socketPath = optarg; break;
        case 't': {
            char *end = nullptr;
            errno = 0;
            long v = std::strtol(optarg, &end, 10);
            if (errno || end == optarg || *end || v < 1 || v > 86400)
                return usageError(std::string("invalid --timeout '") + optarg + "' (1 to 86400 seconds)");
            timeoutMs = static_cast<int>(v * 1000);
            break;
        }
        case 'h': std::fputs(kUsage, stdout); return kExitOk;
        default:
            return usageError(std::string("unknown or incomplete option '") +
                              (optind > 0 && optind <= argc ? argv[optind - 1] : "?") + "'");
        }
    }
    if (argc - optind != 1) return usageError("exactly one USER is required");
    if (fromStdin && tokenFile) return usageError("--stdin and --token-file exclude each other");
    std::string user = argv[optind];
    if (user.empty()) return usageError("the user name is empty");
    if (user.size() > static_cast<size_t>(KIVCLIENT_MAX_NAME))
        return usageError("the user name is longer than 255 bytes; not sent");

    Secret secret;
    std::string why;
    ReadStatus st;
    if (tokenFile) {
        st = readTokenFile(tokenFile, secret.bytes, why);
        if (st == ReadStatus::TooLong) return usageError("the token is longer than 65536 bytes; not sent");
    } else {
        st = fromStdin ? readLine(0, secret.bytes) : readPasswordFromTty(secret.bytes, why);
        if (fromStdin && st == ReadStatus::Failed) why = std::string("reading standard input: ") + std::strerror(errno);
        if (st == ReadStatus::TooLong) return usageError("the password is longer than 255 bytes; not sent");
    }
    if (st != ReadStatus::Ok) {
        std::fprintf(stderr, "kiv-services-client: %s\n", why.c_str());
        return kExitNoInput;
    }
    // The daemon reads the password as a C string and would ignore the rest.
    if (!tokenFile && secret.bytes.find('\0') != std::string::npos)
        return usageError("the password contains a NUL byte; not sent");

    ResultRecord rec;
    int rc = kiv_authenticate(socketPath, user.c_str(), secret.bytes.data(), secret.bytes.size(),
                              tokenFile ? KIV_FLAG_TOKEN : 0, timeoutMs, &rec.r);
    if (rc != 0) {
        std::fprintf(stderr, "kiv-services-client: %s (%s)\n", kiv_strerror(rc), socketPath);
        return kExitTransport;
    }
    const kiv_result &r = *rec.r;
    std::printf("result: %s\n", resultName(r.code).c_str());
    if (r.code == KIV_AUTH_OK) {
        std::printf("uid: %d\n", static_cast<int>(r.uid));
        std::string groups;
        for (size_t i = 0; i < r.ngroups; ++i) groups += " " + std::to_string(static_cast<int>(r.groups[i]));
        std::printf("groups:%s\n", groups.c_str());
        std::printf("name: %s\n", printable(r.name).c_str());
    }
    std::fflush(stdout);
    return exitStatusFor(r.code);
}

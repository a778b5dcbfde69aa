// Reading and parsing the password file, and reloading it when it changes.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "passwdfile.h"

namespace {

bool sameTime(const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool parseId(const std::string &text, int *out) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

} // namespace

bool FileStamp::operator==(const FileStamp &o) const {
    return present == o.present && dev == o.dev && ino == o.ino && size == o.size && sameTime(mtime, o.mtime) &&
           sameTime(ctime, o.ctime);
}

FileStamp stampOf(const struct stat &st) {
    FileStamp s;
    s.present = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    return s;
}

PasswdTable parsePasswdText(const std::string &text, const std::string &path, AuthLog *log) {
    PasswdTable table;
    size_t pos = 0;
    for (int lineNo = 1; pos < text.size(); ++lineNo) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;

        std::string fields[4];
        size_t n = 0, start = 0;
        bool tooMany = false;
        for (;;) {
            size_t colon = line.find(':', start);
            if (n == 4) {
                tooMany = true;
                break;
            }
            fields[n++] = line.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
        PasswdEntry e;
        if (tooMany || n != 4 || fields[0].empty() || fields[0].size() > 255 || fields[1].empty() ||
            !parseId(fields[2], &e.uid) || !parseId(fields[3], &e.gid)) {
            PF_LOG(log, logWarning, "PASSWDFILE: %s line %d is malformed; skipped.", path.c_str(), lineNo);
            continue;
        }
        e.stored = std::move(fields[1]);
        if (!table.emplace(fields[0], std::move(e)).second)
            PF_LOG(log, logWarning, "PASSWDFILE: %s line %d repeats user %s; skipped.", path.c_str(), lineNo,
                   fields[0].c_str());
    }
    return table;
}

std::shared_ptr<const PasswdTable> loadPasswdFile(const std::string &path, FileStamp *stamp, const char **why,
                                                  AuthLog *log) {
    *stamp = FileStamp{};
    Fd f{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (f.fd < 0) {
        *why = errno == ENOENT ? "The password file does not exist." : "The password file cannot be opened.";
        return nullptr;
    }
    struct stat st;
    if (fstat(f.fd, &st) != 0) {
        *why = "The password file cannot be opened.";
        return nullptr;
    }
    *stamp = stampOf(st);
    // The checks apply to the file actually opened, wherever a link led.
    if (!S_ISREG(st.st_mode)) {
        *why = "The password file is not a regular file.";
        return nullptr;
    }
    if (st.st_uid != 0) {
        *why = "The password file is not owned by root.";
        return nullptr;
    }
    if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0)) {
        *why = "The password file is writable by others.";
        return nullptr;
    }
    if (st.st_size > kMaxPasswdFileSize) {
        *why = "The password file is too large.";
        return nullptr;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t r = read(f.fd, text.data() + got, text.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    text.resize(got);
    auto table = std::make_shared<const PasswdTable>(parsePasswdText(text, path, log));
    explicit_bzero(text.data(), text.size());
    PF_LOG(log, logDebug, "PASSWDFILE: read %zu users from %s.", table->size(), path.c_str());
    return table;
}

bool PasswdFile::load(AuthLog *log, const char **why) {
    std::lock_guard<std::mutex> reload(reloadLock_);
    FileStamp stamp;
    const char *failure = nullptr;
    auto table = loadPasswdFile(path_, &stamp, &failure, log);
    std::lock_guard<std::mutex> lock(snapshotLock_);
    table_ = table;
    stamp_ = stamp;
    failure_ = failure;
    *why = failure;
    return table != nullptr;
}

std::shared_ptr<const PasswdTable> PasswdFile::current(AuthLog *log, const char **why) {
    struct stat st;
    FileStamp now;
    if (stat(path_.c_str(), &st) == 0) now = stampOf(st);
    {
        std::lock_guard<std::mutex> lock(snapshotLock_);
        if (now == stamp_) {
            *why = failure_;
            return table_;
        }
    }
    // Changed: one thread re-reads, the others wait for its table.
    std::lock_guard<std::mutex> reload(reloadLock_);
    {
        std::lock_guard<std::mutex> lock(snapshotLock_);
        if (now == stamp_) {
            *why = failure_;
            return table_;
        }
    }
    FileStamp stamp;
    const char *failure = nullptr;
    auto table = loadPasswdFile(path_, &stamp, &failure, log);
    if (!stamp.present) stamp = now;   // gone: remember that, not a stale stamp
    if (failure)
        PF_LOG(log, logError, "PASSWDFILE: %s: %s Refusing its users until it is fixed.", path_.c_str(), failure);
    std::lock_guard<std::mutex> lock(snapshotLock_);
    table_ = table;
    stamp_ = stamp;
    failure_ = failure;
    *why = failure;
    return table;
}

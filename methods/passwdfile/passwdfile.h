// Internal interface of kivmodlib.so, the "custom" method that checks users
// against a separate password file of "name:stored-value:uid:gid" lines.
//
// The parsed file is an immutable PasswdTable shared through a shared_ptr:
// a request takes a snapshot under a short lock, a reload builds a new table
// and swaps it in, so readers never see a half-read file.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kivmod.h"

#define KIV_EXPORT extern "C" __attribute__((visibility("default")))

#define PF_LOG(log, fn, ...)                            \
    do {                                                \
        if ((log) && (log)->fn) (log)->fn(__VA_ARGS__); \
    } while (0)

inline constexpr const char *kDefaultPasswdFile = "/etc/kiv-services-daemon.passwd";
inline constexpr off_t kMaxPasswdFileSize = 64 << 20;

struct PasswdEntry {
    std::string stored;   // a value verify/ accepts: crypt() hash or {SCHEME}base64
    int uid = -1;
    int gid = -1;
};

using PasswdTable = std::unordered_map<std::string, PasswdEntry>;

// What identifies one version of the file on disk.
struct FileStamp {
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};   // catches chmod, which the safety check depends on
    bool operator==(const FileStamp &o) const;
};

FileStamp stampOf(const struct stat &st);

// Parses the text of the file; malformed and duplicate lines are skipped with
// a warning naming the line number (never its content: it holds a hash).
PasswdTable parsePasswdText(const std::string &text, const std::string &path, AuthLog *log);

// Opens, checks and reads the file.  Refuses anything but a regular file
// owned by root and writable by nobody else (group root excepted).  Returns
// null with *why set (static text) on failure; *stamp describes what was read.
std::shared_ptr<const PasswdTable> loadPasswdFile(const std::string &path, FileStamp *stamp, const char **why,
                                                  AuthLog *log);

class PasswdFile {
public:
    explicit PasswdFile(std::string path) : path_(std::move(path)) {}
    // First load, at Init.  False with *why set when the file is not usable.
    bool load(AuthLog *log, const char **why);
    // The current table, re-read first if the file changed on disk.  Null
    // while the file is missing or unsafe (*why says which).
    std::shared_ptr<const PasswdTable> current(AuthLog *log, const char **why);
    const std::string &path() const { return path_; }

private:
    const std::string path_;
    std::mutex reloadLock_;    // one reload at a time
    std::mutex snapshotLock_;  // guards the three fields below, held briefly
    std::shared_ptr<const PasswdTable> table_;
    FileStamp stamp_;
    const char *failure_ = nullptr;
};

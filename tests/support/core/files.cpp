// Fixture files.
#include "files.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace kivtest {

std::string errnoText(const std::string &what) { return what + ": " + std::strerror(errno); }

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool writeFile(const std::string &path, const std::string &data, int mode, std::string *error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        *error = errnoText("open " + path);
        return false;
    }
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        *error = errnoText("chmod " + path);
        close(fd);
        return false;
    }
    for (size_t off = 0; off < data.size();) {
        const ssize_t w = write(fd, data.data() + off, data.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            *error = errnoText("write " + path);
            close(fd);
            return false;
        }
        off += static_cast<size_t>(w);
    }
    if (close(fd) != 0) {
        *error = errnoText("close " + path);
        return false;
    }
    return true;
}

bool fileExists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string makeTempDir(const std::string &tag, std::string *error, const std::string &prefix) {
    std::string clean;
    for (char c : tag)
        clean += (isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
    const std::string tmpl = "/tmp/" + prefix + "-" + clean + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        *error = errnoText("mkdtemp " + tmpl);
        return "";
    }
    return buf.data();
}

std::string cryptHash(const std::string &password, const std::string &prefix, std::string *error) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    // A null random source lets libcrypt draw the salt from the OS.
    if (!crypt_gensalt_rn(prefix.c_str(), 0, nullptr, 0, salt, sizeof salt)) {
        *error = errnoText("crypt_gensalt_rn(\"" + prefix + "\")");
        return "";
    }
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof *data);
    const char *h = crypt_r(password.c_str(), salt, data.get());
    if (!h || h[0] == '*') {
        *error = std::string("crypt_r failed for salt ") + salt;
        return "";
    }
    return h;
}

bool pathIsUnder(const std::string &path, const std::string &dir) {
    return path == dir || path.rfind(dir + "/", 0) == 0;
}

} // namespace kivtest

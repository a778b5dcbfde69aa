// Fixture files: shell-free reading and writing, temporary directories and
// password hashes made independently of the code under test.
#pragma once
#include <string>

namespace kivtest {

std::string readFile(const std::string &path);   // "" if missing
// Writes the whole of data, truncating in place (the inode stays, so bind
// mounts of the file stay attached); the mode is applied exactly, whatever
// the umask.  False and *error on failure.
bool writeFile(const std::string &path, const std::string &data, int mode, std::string *error);
bool fileExists(const std::string &path);   // lstat: a dangling link exists
// A fresh directory /tmp/<prefix>-<tag>-XXXXXX (mode 0700); "" and *error.
std::string makeTempDir(const std::string &tag, std::string *error, const std::string &prefix = "kivtest");
// crypt(3) hash of `password` with a fresh salt of the given prefix ("$6$",
// "$5$", "$1$", "$y$", "" for DES); "" and *error on failure.
std::string cryptHash(const std::string &password, const std::string &prefix, std::string *error);
// Whether `path` is `dir` or lies below it (textually).
bool pathIsUnder(const std::string &path, const std::string &dir);
std::string errnoText(const std::string &what);

} // namespace kivtest

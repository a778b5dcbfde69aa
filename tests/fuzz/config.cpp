// The configuration parser fed arbitrary file contents.  Besides memory
// errors, it checks what every consumer of the list relies on: entry 0 is the
// program entry, keys and values are present and hold no line break, and a
// file is refused only for a line without "=" (or a lack of memory).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"

namespace {

void fail(const char *why) {
    fprintf(stderr, "config harness: %s\n", why);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ConfigEntry *list = nullptr;
    const int count = parseConfiguration(reinterpret_cast<const char *>(data), size, &list);
    if (count < 0) {
        if (count != -102 && count != -103 && count != -100) fail("unexpected failure code");
        if (count == -102 && memchr(data, '=', size) != nullptr && size < 1024 &&
            memchr(data, '\n', size) == nullptr && memchr(data, '\0', size) == nullptr) {
            // A single short line holding "=" is a valid entry unless it is
            // blank or a comment (then it would not fail at all).
            fail("a one-line entry with '=' was refused");
        }
        if (list != nullptr) fail("list handed out on failure");
        return 0;
    }
    if (count < 1 || list == nullptr) fail("no list");
    if (strcmp(list[0].key, "program") != 0 || strcmp(list[0].value, "kiv-services-daemon") != 0)
        fail("entry 0 is not the program entry");
    // Every "=" outside comments and blank lines becomes at most one entry.
    size_t equals = 0;
    for (size_t i = 0; i < size; ++i) equals += data[i] == '=';
    if (static_cast<size_t>(count - 1) > equals) fail("more entries than '=' signs");
    for (int i = 0; i < count; ++i) {
        if (list[i].key == nullptr || list[i].value == nullptr) fail("absent key or value");
        if (strchr(list[i].key, '\n') != nullptr || strchr(list[i].value, '\n') != nullptr)
            fail("line break inside an entry");
        if (i > 0 && strchr(list[i].key, '=') != nullptr) fail("key holds '='");
    }
    freeConfiguration(list, count);
    return 0;
}

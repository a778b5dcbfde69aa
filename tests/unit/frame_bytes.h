// Hand-written frame bytes for the protocol tests: expected values are built
// word by word, independently of the codec under test.
#pragma once
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

using Bytes = std::vector<uint8_t>;

// 32-bit words in the host's byte order, as the protocol sends them.
inline Bytes words(std::initializer_list<int32_t> ws) {
    Bytes out;
    for (int32_t w : ws) {
        uint8_t b[4];
        std::memcpy(b, &w, 4);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

inline Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

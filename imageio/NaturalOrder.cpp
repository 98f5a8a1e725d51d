#include "NaturalOrder.h"

#include <cstddef>

namespace {

bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

unsigned char folded(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// -1, 0 or 1 as `a` orders before, with or after `b`, digit runs by value and letters
// folded; the byte-wise tie break is the caller's.
int compareNatural(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[j]);
        if (isDigit(x) && isDigit(y)) {
            // Values compared as digit strings without their leading zeros: no run overflows.
            while (i < a.size() && a[i] == '0') {
                ++i;
            }
            while (j < b.size() && b[j] == '0') {
                ++j;
            }
            std::size_t endA = i;
            while (endA < a.size() && isDigit(static_cast<unsigned char>(a[endA]))) {
                ++endA;
            }
            std::size_t endB = j;
            while (endB < b.size() && isDigit(static_cast<unsigned char>(b[endB]))) {
                ++endB;
            }
            if (endA - i != endB - j) {
                return endA - i < endB - j ? -1 : 1;
            }
            for (; i < endA; ++i, ++j) {
                if (a[i] != b[j]) {
                    return a[i] < b[j] ? -1 : 1;
                }
            }
            continue;
        }
        // A digit run sorts as '0' would among the other bytes, which are never digits here.
        const unsigned char keyX = isDigit(x) ? '0' : folded(x);
        const unsigned char keyY = isDigit(y) ? '0' : folded(y);
        if (keyX != keyY) {
            return keyX < keyY ? -1 : 1;
        }
        ++i;
        ++j;
    }
    const bool endedA = i == a.size();
    const bool endedB = j == b.size();
    return endedA == endedB ? 0 : endedA ? -1 : 1;
}

} // namespace

bool naturalLess(const std::string& a, const std::string& b) {
    const int order = compareNatural(a, b);
    // std::string compares its bytes as unsigned values, as memcmp does.
    return order != 0 ? order < 0 : a < b;
}

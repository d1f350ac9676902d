// UTF-16 names from disks turned into UTF-8 text.
#pragma once

#include <string>

// Appends one code point (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string& out, char32_t c);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD, so the result is
// always valid UTF-8.
std::string Utf16ToUtf8(const std::u16string& s);

// Calls f(code point) for each character of `s`; unpaired surrogates come
// as U+FFFD.
template <typename F>
void ForEachCodePoint(const std::u16string& s, F&& f) {
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        f(c);
    }
}

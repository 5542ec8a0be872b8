// Text from a record made safe to show: escaped for a terminal, or written
// as the inside of a JSON string.
#include <string>
#include <string_view>

#include "output.h"

namespace view {

namespace {

void append_hex(std::string &out, const char *prefix, unsigned c, int digits) {
    static const char hex[] = "0123456789abcdef";
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += hex[(c >> shift) & 15];
}

bool is_c0(unsigned char c) { return (c < 0x20 && c != '\n' && c != '\t') || c == 0x7f; }

// Length of the valid UTF-8 sequence at the start of text, or 0.
size_t utf8_length(std::string_view text) {
    unsigned char c = (unsigned char)text[0];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || n > text.size()) return 0;
    for (size_t i = 1; i < n; ++i)
        if (((unsigned char)text[i] >> 6) != 2) return 0;
    unsigned char d = n > 1 ? (unsigned char)text[1] : 0;
    if ((n == 2 && c < 0xc2) || (n == 3 && c == 0xe0 && d < 0xa0) || (n == 3 && c == 0xed && d >= 0xa0) ||
        (n == 4 && c == 0xf0 && d < 0x90) || (n == 4 && (c > 0xf4 || (c == 0xf4 && d >= 0x90))))
        return 0;
    return n;
}

unsigned code_point(std::string_view text, size_t n) {
    static const unsigned lead_mask[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    unsigned cp = (unsigned char)text[0] & lead_mask[n];
    for (size_t i = 1; i < n; ++i) cp = cp << 6 | ((unsigned char)text[i] & 0x3f);
    return cp;
}

// The C1 controls, and the marks and overrides that reorder text on screen.
bool acts_on_terminal(unsigned cp) {
    return (cp >= 0x80 && cp <= 0x9f) || cp == 0x61c || cp == 0x200e || cp == 0x200f ||
           (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

// Bytes at text's start that must be escaped (0: none), and the valid
// UTF-8 length of what starts there (0: not UTF-8).
size_t unsafe_length(std::string_view text, size_t &utf8) {
    unsigned char c = (unsigned char)text[0];
    utf8 = c < 0x80 ? 1 : utf8_length(text);
    if (c < 0x80) return is_c0(c) ? 1 : 0;
    if (utf8 == 0) return c <= 0x9f ? 1 : 0;
    return acts_on_terminal(code_point(text, utf8)) ? utf8 : 0;
}

}  // namespace

void append_escaped(std::string &out, std::string_view text) {
    size_t run = 0;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        if (c >= 0x20 && c < 0x7f) {
            ++i;
            continue;
        }
        size_t utf8, bad = unsafe_length(text.substr(i), utf8);
        if (bad == 0) {
            i += utf8 ? utf8 : 1;
            continue;
        }
        out.append(text.data() + run, i - run);
        for (size_t k = 0; k < bad; ++k) append_hex(out, "\\x", (unsigned char)text[i + k], 2);
        i += bad;
        run = i;
    }
    out.append(text.data() + run, text.size() - run);
}

// Bytes that are not UTF-8 are written as the code points U+0080-U+00FF.
void append_json(std::string &out, std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        size_t utf8 = 1, bad = c >= 0x20 && c < 0x7f ? 0 : unsafe_length(text.substr(i), utf8);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c == '\n' || c == '\t') {
            out += c == '\n' ? "\\n" : "\\t";
        } else if (c >= 0x80 && utf8 == 0) {
            append_hex(out, "\\u", c, 4);
        } else if (bad > 0) {
            append_hex(out, "\\u", bad == 1 ? c : code_point(text.substr(i), bad), 4);
            i += bad;
            continue;
        } else if (c >= 0x80) {
            out.append(text.data() + i, utf8);
            i += utf8;
            continue;
        } else {
            out += (char)c;
        }
        ++i;
    }
}

}  // namespace view

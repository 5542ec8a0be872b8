// Fuzzes line composition against a small model of the formatter's rules.
// Input: a level byte, a type byte, the format up to a NUL, then the bytes
// that the arguments are made from, one argument per conversion.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "fill.h"
#include "logger/compose.h"

namespace {

constexpr size_t kMaxArgs = 6;
using Arg = std::variant<int, const char *>;

struct Material {
    const uint8_t *data;
    size_t size;
    uint8_t byte() { return size ? (--size, *data++) : 0; }
};

// The conversion letters the rules perform, in order.
std::string conversions(const std::string &format) {
    std::string kinds;
    bool pending = false;
    for (char b : format) {
        if (b == '%') pending = true;
        else if (pending && (b == 'c' || b == 'd' || b == 's')) kinds += b, pending = false;
    }
    return kinds;
}

std::string model(const std::string &format, const std::vector<Arg> &args) {
    std::string out;
    size_t next = 0;
    bool pending = false;
    for (char b : format) {
        if (b == '%') {
            pending = true;
        } else if (pending && (b == 'c' || b == 'd' || b == 's')) {
            const Arg &a = args[next++];
            if (b == 'c') {
                char ch = (char)std::get<int>(a);
                if (ch) out += ch;
            } else if (b == 'd') {
                out += std::to_string(std::get<int>(a));
            } else {
                const char *s = std::get<const char *>(a);
                out += s ? s : "(null)";
            }
            pending = false;
        } else {
            out += b;
        }
    }
    return out;
}

// Passes args as real variable arguments, each with its own type.
template <typename... A>
size_t call(int level, int type, const char *format, const std::vector<Arg> &args, size_t i,
            A... passed) {
    if constexpr (sizeof...(A) == kMaxArgs) {
        return fill_line(level, type, format, passed...);
    } else {
        if (i == args.size()) return fill_line(level, type, format, passed...);
        if (std::holds_alternative<int>(args[i]))
            return call(level, type, format, args, i + 1, passed..., std::get<int>(args[i]));
        return call(level, type, format, args, i + 1, passed..., std::get<const char *>(args[i]));
    }
}

std::string name(const char (*table)[LOG_NAME_SIZE], int count, int index) {
    return index >= 0 && index < count ? table[index] : std::to_string(index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    int level = (int8_t)data[0] % 8, type = (int8_t)data[1] % 4;
    const char *text = (const char *)data + 2;
    size_t format_len = strnlen(text, size - 2);
    std::string format(text, format_len);
    Material m{data + 2 + format_len, size - 2 - format_len};
    m.byte();  // the NUL after the format

    std::string kinds = conversions(format);
    if (kinds.size() > kMaxArgs) return 0;
    std::vector<std::string> strings;
    strings.reserve(kMaxArgs);
    std::vector<Arg> args;
    for (char kind : kinds) {
        if (kind == 'c') {
            args.push_back((int)(int8_t)m.byte());
        } else if (kind == 'd') {
            uint32_t v = 0;
            for (int k = 0; k < 4; ++k) v = v << 8 | m.byte();
            args.push_back((int)v);
        } else {
            uint8_t len = m.byte();
            if (len == 255) {
                args.push_back((const char *)nullptr);
                continue;
            }
            std::string s = len == 254 ? std::string(9000, 'q') : std::string();
            for (uint8_t k = 0; k < len && len < 254; ++k) s += (char)(m.byte() | 1);
            strings.push_back(s);
            args.push_back(strings.back().c_str());
        }
    }

    size_t len = call(level, type, format.c_str(), args, 0);
    std::string line(LogLine, len);
    std::memset(LogLine, 0, sizeof LogLine);

    std::string head = "[" + name(LogLevelText, 5, level) + "] ";
    std::string tail = " (" + name(LogTypeText, 2, type) + ") \n";
    std::string message = model(format, args);
    message.resize(std::min(message.size(), LOG_LINE_SIZE - 1 - head.size() - 20 - tail.size()));
    std::string stamp = line.substr(head.size(), 19);
    line.replace(head.size(), 19, "YYYY-MM-DD hh:mm:ss");
    if (line != head + "YYYY-MM-DD hh:mm:ss " + message + tail || stamp.size() != 19 ||
        stamp[4] != '-' || stamp[13] != ':') {
        std::abort();
    }
    return 0;
}

// The C++ side of Log_Send: a literal format is checked while compiling, by
// the logger's own rules; a format behind a pointer is passed on unchecked.
// A char array holding a format is taken for a literal: pass it as +array.
// Integer arguments reach the formatter as int, whatever their width.
#ifndef TEMBRA_LOG_FORMAT_H
#define TEMBRA_LOG_FORMAT_H

#include <cstddef>
#include <type_traits>

namespace log_check {

enum class Kind { integer, text, other };

template <typename T>
constexpr Kind kind_of = std::is_integral_v<T> || (std::is_enum_v<T> && std::is_convertible_v<T, int>)
                             ? Kind::integer
                         : std::is_same_v<T, const char *> || std::is_same_v<T, char *> ? Kind::text
                                                                                        : Kind::other;

// Not constexpr: reaching one of these while checking a format is the
// compile error, and its name says what is wrong with the format.
void format_has_more_conversions_than_arguments(const char *format);
void format_has_fewer_conversions_than_arguments(const char *format);
void format_argument_is_not_an_integer_for_c_or_d(const char *format);
void format_argument_is_not_a_char_pointer_for_s(const char *format);

// A '%' arms the next c, d or s, however far; "%%" is no escape.
template <typename... Args>
consteval void check(const char *format) {
    constexpr Kind kinds[] = {kind_of<Args>..., Kind::other};
    std::size_t n = 0;
    bool pending = false;
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p == '%') pending = true;
        if (!pending || (*p != 'c' && *p != 'd' && *p != 's')) continue;
        if (n == sizeof...(Args)) format_has_more_conversions_than_arguments(format);
        if (*p == 's' && kinds[n] != Kind::text) format_argument_is_not_a_char_pointer_for_s(format);
        if (*p != 's' && kinds[n] != Kind::integer) format_argument_is_not_an_integer_for_c_or_d(format);
        ++n;
        pending = false;
    }
    if (n != sizeof...(Args)) format_has_fewer_conversions_than_arguments(format);
}

template <typename... Args>
struct Format {
    const char *text;
    // A literal (a char array): checked against the arguments.
    template <std::size_t N>
    consteval Format(const char (&format)[N]) : text(format) { check<Args...>(format); }
    // A pointer: the format is only known when the program runs.
    template <typename P>
        requires std::is_pointer_v<std::remove_cvref_t<P>>
    Format(P &&format) : text(format) {}
};

// The formatter reads an int for c and d, so integers are passed as int.
template <typename T>
inline auto pass(T value) {
    if constexpr (kind_of<T> == Kind::integer) return static_cast<int>(value);
    else return value;
}

}  // namespace log_check

template <typename... Args>
inline void Log_Send(int level, int type, log_check::Format<std::type_identity_t<Args>...> format,
                     Args... args) {
    log_check::Log_Send(level, type, format.text, log_check::pass(args)...);
}

#endif

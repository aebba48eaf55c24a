// Numbers in the text of a bot's name, read the same whatever the process's locale and C++
// library: the whole text, in the C locale's form. Where the library lacks std::from_chars for
// floating point (libc++ before 20, so macOS's), a double is read by a stream in the classic
// locale after the text has been checked against from_chars's grammar, so that both read the
// same texts.
#pragma once

#include <charconv>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <locale>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace game {

#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
inline constexpr bool FLOATING_FROM_CHARS = true;
#else
inline constexpr bool FLOATING_FROM_CHARS = false;
#endif

// A finite number written [-]digits[.digits][(e|E)[+|-]digits], with a digit on one side of the
// point at least: what std::from_chars reads but infinities and NaNs. Built everywhere, so that
// its tests run where from_chars does the reading too.
template <std::floating_point Real>
bool read_number_by_stream(std::string_view text, Real& out) {
    // The grammar is checked first: a stream also reads a '+', leading spaces, or hexadecimal.
    std::size_t i = 0;
    bool nonzero = false;
    const auto skip_digits = [&] {
        const std::size_t from = i;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            nonzero = nonzero || text[i] != '0';
        return i - from;
    };
    const auto skip = [&](char a, char b) {
        const bool found = i < text.size() && (text[i] == a || text[i] == b);
        i += found;
        return found;
    };
    skip('-', '-');
    std::size_t digits = skip_digits();
    if (skip('.', '.')) digits += skip_digits();
    if (digits == 0) return false;
    const bool nonzero_digits = nonzero;
    if (skip('e', 'E')) {
        skip('+', '-');
        if (skip_digits() == 0) return false;
    }
    if (i != text.size()) return false;
    std::istringstream stream{std::string(text)};
    stream.imbue(std::locale::classic());
    Real value = 0;
    stream >> value;
    // Too large fails the stream. Below the normal range the C library reports a range error,
    // which fails a libc++ stream with the value read; from_chars takes it unless it is zero, and
    // some libraries give that zero without failing.
    const bool failed = stream.fail() && std::fpclassify(value) != FP_SUBNORMAL;
    if (failed || !stream.eof() || !std::isfinite(value) || (value == 0 && nonzero_digits))
        return false;
    out = value;
    return true;
}

// A whole number (digits, with a '-' for a signed type), or a finite number as above; the whole
// text. `out` is left as it was when the text is refused.
template <class Number>
bool read_number(std::string_view text, Number& out) {
    if constexpr (std::is_floating_point_v<Number> && !FLOATING_FROM_CHARS) {
        return read_number_by_stream(text, out);
    } else {
        Number value{};
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, value);
        if (error != std::errc{} || stop != end) return false;
        if constexpr (std::is_floating_point_v<Number>)
            if (!std::isfinite(value)) return false;
        out = value;
        return true;
    }
}

}  // namespace game

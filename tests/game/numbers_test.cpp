#include "game/numbers.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <locale>
#include <optional>

namespace game {
namespace {

struct Case {
    const char* text;
    // As the compiler reads the same digits in a literal; nothing for a refused text.
    std::optional<double> value;
};

constexpr Case CASES[] = {
    {"0", 0.0}, {"-0", -0.0}, {"0.1", 0.1}, {"5.", 5.}, {".5", .5}, {"-.5", -.5}, {"007", 7.0},
    {"1E-3", 1E-3}, {"1e+3", 1e+3}, {"1000000.0000000001", 1000000.0000000001},
    {"123456789012345678901234567890", 123456789012345678901234567890.},
    {"1e-310", 1e-310}, {"4.9e-324", 4.9e-324},
    {"", {}}, {"-", {}}, {".", {}}, {"-.", {}}, {"e5", {}}, {"1e", {}}, {"1e+", {}}, {"+1", {}},
    {" 1", {}}, {"1 ", {}}, {"1,5", {}}, {"1.2.3", {}}, {"0x10", {}}, {"1f", {}}, {"inf", {}},
    {"-inf", {}}, {"nan", {}}, {"1e400", {}}, {"-1e400", {}}, {"1e-400", {}}};

// Both readers, whichever this library's read_number uses: the same texts, the same doubles bit
// for bit, and nothing written on a refusal.
TEST(ReadNumber, ReadsFiniteDecimalsAsTheCompilerDoesAndRefusesTheRest) {
    for (const Case& c : CASES) {
        double by_chars = 7, by_stream = 7;
        const double expected = c.value.value_or(7);
        EXPECT_EQ(read_number(c.text, by_chars), c.value.has_value()) << '"' << c.text << '"';
        EXPECT_EQ(std::bit_cast<std::uint64_t>(by_chars), std::bit_cast<std::uint64_t>(expected))
            << '"' << c.text << '"';
        EXPECT_EQ(read_number_by_stream(c.text, by_stream), c.value.has_value())
            << '"' << c.text << '"';
        EXPECT_EQ(std::bit_cast<std::uint64_t>(by_stream), std::bit_cast<std::uint64_t>(expected))
            << '"' << c.text << '"';
    }
}

// A process (an embedding program, say) may set a global locale whose decimal point is a comma.
struct CommaPoint : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

TEST(ReadNumber, StreamIgnoresTheGlobalLocale) {
    const std::locale before =
        std::locale::global(std::locale(std::locale::classic(), new CommaPoint));
    double x = 0;
    const bool read = read_number_by_stream("0.25", x);
    std::locale::global(before);
    EXPECT_TRUE(read);
    EXPECT_EQ(x, 0.25);
}

}  // namespace
}  // namespace game

// What an internal error writes to standard error.
#include <gtest/gtest.h>

#include <string>

#include "game/errors.hpp"

namespace game {
namespace {

TEST(DiagnosticsTest, AFatalStopNamesItsSourceRelativeToTheTree) {
    testing::internal::CaptureStderr();
    // clang-format off
    const unsigned line = __LINE__; EXPECT_THROW(check_index(7, 3), Panic);
    // clang-format on
    // The path as the repository spells it: nothing of the machine that built the test.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tavlok: internal error at tests/game/diagnostics_test.cpp:" + std::to_string(line) +
                  ": index out of bounds: the len is 3 but the index is 7\n");
}

}  // namespace
}  // namespace game

// Running an engine call that must stop fatally, without letting its diagnostic reach the test
// run's output: a passing run prints nothing but the framework's own lines.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "game/errors.hpp"

namespace game::support {

// The message of the fatal stop that `call` makes, or "no stop". What the stop writes to standard
// error is captured and checked to be its one diagnostic line, ending with that message.
template <class Call>
std::string panic_message(Call&& call) {
    testing::internal::CaptureStderr();
    std::string message = "no stop";
    try {
        call();
    } catch (const Panic& panic) {
        message = panic.what();
    }
    const std::string printed = testing::internal::GetCapturedStderr();
    const std::string prefix = "tavlok: internal error at ";
    const std::string suffix = ": " + message + "\n";
    if (message == "no stop") {
        EXPECT_EQ(printed, "");
    } else {
        EXPECT_TRUE(printed.starts_with(prefix) && printed.ends_with(suffix) &&
                    printed.find('\n') + 1 == printed.size())
            << printed;
    }
    return message;
}

}  // namespace game::support

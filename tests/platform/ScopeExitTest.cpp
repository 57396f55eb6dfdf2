#include "platform/ScopeExit.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

// The clean-up runs on every path, and the error the caller sees is the first
// one: the work's own error wins over a failing clean-up, and a clean-up's
// error is not lost when the work went well.
TEST(ScopeExit, RunsOnReturnAndOnErrorAndTheFirstErrorWins)
{
    std::vector<std::string> steps;
    {
        TScopeExit done([&] { steps.push_back("clean"); });
        steps.push_back("work");
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"work", "clean"}));

    try {
        TScopeExit failingCleanUp([] { throw std::runtime_error("clean-up"); });
        throw std::runtime_error("work");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "work");
    }

    try {
        TScopeExit failingCleanUp([] { throw std::runtime_error("clean-up"); });
    } catch (const std::runtime_error& e) {
        steps.push_back(e.what());
    }
    EXPECT_EQ(steps.back(), "clean-up") << "a failed clean-up after good work is reported";

    int runs = 0;
    {
        TScopeExit released([&] { ++runs; });
        released.Release();
    }
    EXPECT_EQ(runs, 0);
}

TEST(ScopeExit, QuietAndFailureOnlyVariants)
{
    EXPECT_NO_THROW({ auto quiet = QuietScopeExit([] { throw std::runtime_error("close"); }); });

    int undone = 0;
    {
        auto undo = FailureScopeExit([&] { ++undone; });
    }
    EXPECT_EQ(undone, 0) << "kept when the work went well";
    try {
        auto undo = FailureScopeExit([&] {
            ++undone;
            throw std::runtime_error("undo");
        });
        throw std::runtime_error("work");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "work");
    }
    EXPECT_EQ(undone, 1);

    // Inside a handler an error is already in flight; a scope that starts
    // there still sees its own exit as a normal one.
    try {
        throw std::runtime_error("outer");
    } catch (const std::runtime_error&) {
        int ran = 0;
        {
            auto undo = FailureScopeExit([&] { ++ran; });
        }
        EXPECT_EQ(ran, 0);
    }
}

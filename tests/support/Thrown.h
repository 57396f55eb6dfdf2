#pragma once

// The error a call raised, for tests that look at what it carries: the test
// fails when the call raised nothing (another kind of error escapes).
//
//     const auto refused = Thrown<ENetProtocolReplyError>([&] { smtp.Open(); });
//     ASSERT_TRUE(refused);
//     EXPECT_EQ(refused->ReplyErrorCode(), 554);

#include <gtest/gtest.h>

#include <optional>

template <class E, class F>
std::optional<E> Thrown(F&& call)
{
    try {
        call();
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "the call raised nothing";
    return std::nullopt;
}

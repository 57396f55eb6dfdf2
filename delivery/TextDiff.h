#pragma once

// The difference between two sequences of tokens (blocks of a page's text,
// or the words of one block), as the ranges that stayed, went or came.
// Tokens are numbers: equal tokens have equal numbers, so the caller decides
// what "equal" means once and the diff only compares integers.
//
// Myers' algorithm finds a shortest edit script while the differences are
// few; a region whose differences grow past a cost cap is split at the
// tokens that occur once on each side (the patience anchors) and each part
// is tried again, so a large page with many changes costs time in proportion
// to its size, not to the square of it. A region with no such anchor is
// taken as replaced whole: still a true difference, only not the shortest.

#include "delivery/ThreadClock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

enum class TDiffOp : std::uint8_t { Equal, Replace, Delete, Insert };

// Old tokens [OldBegin, OldEnd) became new tokens [NewBegin, NewEnd).
struct TDiffRange {
    TDiffOp Op;
    std::size_t OldBegin, OldEnd, NewBegin, NewEnd;
    bool operator==(const TDiffRange&) const = default;
};

struct TDiffLimits {
    // Past this many tokens on either side the diff is not tried.
    std::size_t MaxTokens = 1u << 20;
    // The steps one run of Myers' algorithm may take on one region (tokens
    // times edit distance) before the region is split at its anchors.
    std::size_t MaxSteps = 4u << 20;
    TThreadClock::time_point Deadline = TThreadClock::time_point::max();
};

// The ranges in order, covering both sequences, neighbours never of the same
// kind. False, with out emptied, when a limit was reached.
bool DiffTokens(std::span<const std::uint32_t> oldTokens, std::span<const std::uint32_t> newTokens,
                std::vector<TDiffRange>& out, const TDiffLimits& limits = {});

// What DiffTokens gives for two sequences of oldSize and newSize tokens that
// share their first head and last tail tokens (each as long as can be), when
// one of them has nothing else (head + tail is its size): a caller that
// found the head and tail some other way needs no tokens for them.
void DiffAroundOnePlace(std::size_t oldSize, std::size_t newSize, std::size_t head, std::size_t tail,
                        std::vector<TDiffRange>& out);

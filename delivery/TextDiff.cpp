#include "delivery/TextDiff.h"

#include <algorithm>
#include <bit>

namespace {

// Old tokens from Old and new tokens from New, Length of them, are equal.
struct TRun {
    std::size_t Old, New, Length;
};

struct TRegion {
    std::size_t OldBegin, OldEnd, NewBegin, NewEnd;
};

// How often a token occurs on each side of a region, and where it last
// does, in an open table by the token.
struct TCount {
    std::uint32_t OldCount = 0, NewCount = 0;
    std::size_t Old = 0, New = 0;
};

class TCounts {
public:
    void Reset(std::size_t tokens)
    {
        std::size_t capacity = 16;
        while (capacity < 2 * tokens)
            capacity *= 2;
        slots_.assign(capacity, TSlot{});
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    }

    TCount& Add(std::uint32_t token)
    {
        for (std::size_t at = Home(token);; at = (at + 1) & (slots_.size() - 1)) {
            TSlot& slot = slots_[at];
            if (!slot.Used) {
                slot.Used = true;
                slot.Token = token;
                return slot.Count;
            }
            if (slot.Token == token)
                return slot.Count;
        }
    }

    TCount* Find(std::uint32_t token)
    {
        for (std::size_t at = Home(token);; at = (at + 1) & (slots_.size() - 1)) {
            TSlot& slot = slots_[at];
            if (!slot.Used)
                return nullptr;
            if (slot.Token == token)
                return &slot.Count;
        }
    }

private:
    struct TSlot {
        TCount Count;
        std::uint32_t Token = 0;
        bool Used = false;
    };
    std::size_t Home(std::uint32_t token) const
    {
        return static_cast<std::size_t>((token * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    std::vector<TSlot> slots_;
    unsigned shift_ = 60;
};

// The trace of one run of Myers' algorithm keeps every round's furthest
// points: (d + 1)^2 of them in all. More rounds than this are not worth
// their memory; the region is split at its anchors instead.
constexpr std::size_t MaxRounds = 1024;

class TDiffer {
public:
    TDiffer(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b, const TDiffLimits& limits)
        : a_(a), b_(b), limits_(limits)
    {
    }

    bool Run(std::vector<TRun>& runs)
    {
        runs_ = &runs;
        std::vector<TRegion> pending{{0, a_.size(), 0, b_.size()}};
        while (!pending.empty()) {
            if (OutOfTime())
                return false;
            const TRegion r = pending.back();
            pending.pop_back();
            if (!Region(r, pending))
                return false;
        }
        std::sort(runs.begin(), runs.end(), [](const TRun& x, const TRun& y) { return x.Old < y.Old; });
        return true;
    }

private:
    bool OutOfTime()
    {
        // The clock is read now and then, not at every step.
        if (++ticks_ % 64 != 0)
            return false;
        return TThreadClock::now() > limits_.Deadline;
    }

    void Add(std::size_t old, std::size_t neu, std::size_t length)
    {
        if (length > 0)
            runs_->push_back(TRun{old, neu, length});
    }

    bool Region(TRegion r, std::vector<TRegion>& pending)
    {
        std::size_t head = 0;
        while (r.OldBegin + head < r.OldEnd && r.NewBegin + head < r.NewEnd &&
               a_[r.OldBegin + head] == b_[r.NewBegin + head])
            ++head;
        Add(r.OldBegin, r.NewBegin, head);
        r.OldBegin += head;
        r.NewBegin += head;
        std::size_t tail = 0;
        while (r.OldEnd - tail > r.OldBegin && r.NewEnd - tail > r.NewBegin &&
               a_[r.OldEnd - tail - 1] == b_[r.NewEnd - tail - 1])
            ++tail;
        Add(r.OldEnd - tail, r.NewEnd - tail, tail);
        r.OldEnd -= tail;
        r.NewEnd -= tail;
        // One token against one other is a replacement: no run to find.
        if (r.OldBegin == r.OldEnd || r.NewBegin == r.NewEnd ||
            (r.OldEnd - r.OldBegin == 1 && r.NewEnd - r.NewBegin == 1))
            return true;

        bool outOfTime = false;
        if (Myers(r, outOfTime))
            return true;
        if (outOfTime)
            return false;
        Split(r, pending);
        return true;
    }

    // A shortest edit script of the region when one is found within the
    // cost cap; false (and nothing added) otherwise.
    bool Myers(const TRegion& r, bool& outOfTime)
    {
        const std::size_t n = r.OldEnd - r.OldBegin, m = r.NewEnd - r.NewBegin;
        const std::size_t maxD = std::min({n + m, std::max<std::size_t>(1, limits_.MaxSteps / (n + m)), MaxRounds});
        const std::ptrdiff_t N = static_cast<std::ptrdiff_t>(n), M = static_cast<std::ptrdiff_t>(m);
        const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(maxD) + 1;
        v_.assign(2 * maxD + 3, 0);
        trace_.clear();
        const std::uint32_t* a = a_.data() + r.OldBegin;
        const std::uint32_t* b = b_.data() + r.NewBegin;
        std::ptrdiff_t found = -1;
        for (std::ptrdiff_t d = 0; d <= static_cast<std::ptrdiff_t>(maxD); ++d) {
            if (OutOfTime()) {
                outOfTime = true;
                return false;
            }
            for (std::ptrdiff_t k = -d; k <= d; k += 2) {
                std::ptrdiff_t x;
                if (k == -d || (k != d && v_[offset + k - 1] < v_[offset + k + 1]))
                    x = v_[offset + k + 1];
                else
                    x = v_[offset + k - 1] + 1;
                std::ptrdiff_t y = x - k;
                while (x < N && y < M && a[x] == b[y]) {
                    ++x;
                    ++y;
                }
                v_[offset + k] = x;
                if (x >= N && y >= M) {
                    found = d;
                    break;
                }
            }
            // Round d's points on diagonals -d..d.
            trace_.insert(trace_.end(), v_.begin() + (offset - d), v_.begin() + (offset + d + 1));
            if (found >= 0)
                break;
        }
        if (found < 0)
            return false;

        // Back from the end: each round's snake, then the one step before it.
        std::ptrdiff_t x = N, y = M;
        for (std::ptrdiff_t d = found; d > 0; --d) {
            const std::size_t prevAt = static_cast<std::size_t>((d - 1) * (d - 1)); // round d-1 starts here
            auto prev = [&](std::ptrdiff_t k) { return trace_[prevAt + static_cast<std::size_t>(k + (d - 1))]; };
            const std::ptrdiff_t k = x - y;
            std::ptrdiff_t prevK;
            if (k == -d || (k != d && prev(k - 1) < prev(k + 1)))
                prevK = k + 1;
            else
                prevK = k - 1;
            const std::ptrdiff_t prevX = prev(prevK);
            const std::ptrdiff_t prevY = prevX - prevK;
            // The snake runs from the point after the step to (x, y).
            const std::ptrdiff_t startX = prevK == k + 1 ? prevX : prevX + 1;
            const std::ptrdiff_t snake = x - startX;
            Add(r.OldBegin + static_cast<std::size_t>(startX), r.NewBegin + static_cast<std::size_t>(y - snake),
                static_cast<std::size_t>(snake));
            x = prevX;
            y = prevY;
        }
        // Round 0's snake is the common head, which the region has none of.
        Add(r.OldBegin, r.NewBegin, static_cast<std::size_t>(x));
        return true;
    }

    // Splits the region at the longest increasing run of tokens that occur
    // exactly once on each side; the parts between them go back to pending.
    void Split(const TRegion& r, std::vector<TRegion>& pending)
    {
        const std::size_t n = r.OldEnd - r.OldBegin;
        counts_.Reset(n);
        for (std::size_t i = r.OldBegin; i < r.OldEnd; ++i) {
            TCount& c = counts_.Add(a_[i]);
            ++c.OldCount;
            c.Old = i;
        }
        for (std::size_t j = r.NewBegin; j < r.NewEnd; ++j) {
            TCount* c = counts_.Find(b_[j]);
            if (!c)
                continue;
            ++c->NewCount;
            c->New = j;
        }
        std::vector<std::pair<std::size_t, std::size_t>> unique; // (old, new), by old
        for (std::size_t i = r.OldBegin; i < r.OldEnd; ++i) {
            const TCount& c = *counts_.Find(a_[i]);
            if (c.OldCount == 1 && c.NewCount == 1)
                unique.emplace_back(i, c.New);
        }
        if (unique.empty())
            return; // replaced whole

        // Patience sorting: the longest run whose new positions increase.
        std::vector<std::size_t> tops;  // index into unique of each pile's top
        std::vector<std::ptrdiff_t> back(unique.size(), -1);
        for (std::size_t i = 0; i < unique.size(); ++i) {
            auto at = std::lower_bound(tops.begin(), tops.end(), unique[i].second,
                                       [&](std::size_t t, std::size_t neu) { return unique[t].second < neu; });
            if (at != tops.begin())
                back[i] = static_cast<std::ptrdiff_t>(*(at - 1));
            if (at == tops.end())
                tops.push_back(i);
            else
                *at = i;
        }
        std::vector<std::pair<std::size_t, std::size_t>> anchors;
        for (std::ptrdiff_t i = static_cast<std::ptrdiff_t>(tops.back()); i >= 0; i = back[static_cast<std::size_t>(i)])
            anchors.push_back(unique[static_cast<std::size_t>(i)]);
        std::reverse(anchors.begin(), anchors.end());

        std::size_t oldAt = r.OldBegin, newAt = r.NewBegin;
        for (const auto& [old, neu] : anchors) {
            pending.push_back(TRegion{oldAt, old, newAt, neu});
            Add(old, neu, 1);
            oldAt = old + 1;
            newAt = neu + 1;
        }
        pending.push_back(TRegion{oldAt, r.OldEnd, newAt, r.NewEnd});
    }

    std::span<const std::uint32_t> a_, b_;
    const TDiffLimits& limits_;
    TCounts counts_;
    std::vector<TRun>* runs_ = nullptr;
    std::vector<std::ptrdiff_t> v_;
    std::vector<std::int32_t> trace_;
    std::size_t ticks_ = 0;
};

void Gap(std::size_t oldBegin, std::size_t oldEnd, std::size_t newBegin, std::size_t newEnd,
         std::vector<TDiffRange>& out)
{
    if (oldBegin == oldEnd && newBegin == newEnd)
        return;
    const TDiffOp op = oldBegin == oldEnd ? TDiffOp::Insert : newBegin == newEnd ? TDiffOp::Delete : TDiffOp::Replace;
    out.push_back(TDiffRange{op, oldBegin, oldEnd, newBegin, newEnd});
}

} // namespace

bool DiffTokens(std::span<const std::uint32_t> oldTokens, std::span<const std::uint32_t> newTokens,
                std::vector<TDiffRange>& out, const TDiffLimits& limits)
{
    out.clear();
    if (oldTokens.size() > limits.MaxTokens || newTokens.size() > limits.MaxTokens)
        return false;
    // The common head and tail first, as the differ would take them: the
    // words of a changed block often differ in one place only, and then
    // no differ (nor its memory) is needed.
    const std::size_t n = oldTokens.size(), m = newTokens.size();
    std::size_t head = 0;
    while (head < n && head < m && oldTokens[head] == newTokens[head])
        ++head;
    std::size_t tail = 0;
    while (n - tail > head && m - tail > head && oldTokens[n - tail - 1] == newTokens[m - tail - 1])
        ++tail;
    if (head == n - tail || head == m - tail) {
        DiffAroundOnePlace(n, m, head, tail, out);
        return true;
    }

    std::vector<TRun> runs;
    TDiffer differ(oldTokens, newTokens, limits);
    if (!differ.Run(runs))
        return false;

    std::size_t oldAt = 0, newAt = 0;
    for (const TRun& run : runs) {
        Gap(oldAt, run.Old, newAt, run.New, out);
        if (!out.empty() && out.back().Op == TDiffOp::Equal && out.back().OldEnd == run.Old &&
            out.back().NewEnd == run.New) {
            out.back().OldEnd += run.Length;
            out.back().NewEnd += run.Length;
        } else {
            out.push_back(TDiffRange{TDiffOp::Equal, run.Old, run.Old + run.Length, run.New, run.New + run.Length});
        }
        oldAt = run.Old + run.Length;
        newAt = run.New + run.Length;
    }
    Gap(oldAt, oldTokens.size(), newAt, newTokens.size(), out);
    return true;
}

void DiffAroundOnePlace(std::size_t oldSize, std::size_t newSize, std::size_t head, std::size_t tail,
                        std::vector<TDiffRange>& out)
{
    out.clear();
    if (head > 0)
        out.push_back(TDiffRange{TDiffOp::Equal, 0, head, 0, head});
    Gap(head, oldSize - tail, head, newSize - tail, out);
    if (tail > 0)
        out.push_back(TDiffRange{TDiffOp::Equal, oldSize - tail, oldSize, newSize - tail, newSize});
}

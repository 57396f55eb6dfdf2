// The block diff against Python's difflib and a dynamic-programming count of
// the longest common subsequence, on the same block lists: random edits,
// moves, empty and one-block pages, and the blocks of real pages.

#include "delivery/PageText.h"
#include "delivery/TextDiff.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using TBlocks = std::vector<std::string>;

struct TCase {
    std::string What;
    TBlocks Old, New;
};

struct TReference {
    std::size_t DifflibKept = 0;
    std::size_t Lcs = 0;
    std::string Opcodes;
};

std::vector<TReference> Reference(const std::vector<TCase>& cases, const std::string& folder)
{
    std::ostringstream in;
    for (const TCase& c : cases) {
        in << "old " << c.Old.size() << "\n";
        for (const auto& b : c.Old)
            in << b << "\n";
        in << "new " << c.New.size() << "\n";
        for (const auto& b : c.New)
            in << b << "\n";
    }
    const std::string casesPath = folder + "cases.txt", outPath = folder + "reference.txt";
    WriteFile(casesPath, in.str());
    const std::string command = std::string(VENDREL_PYTHON) + " " + VENDREL_FIXTURES_DIR + "/diff_reference.py " +
                                casesPath + " " + outPath;
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::vector<TReference> out;
    std::istringstream lines(ReadFile(outPath));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        TReference r;
        fields >> r.DifflibKept >> r.Lcs;
        std::getline(fields, r.Opcodes);
        out.push_back(r);
    }
    return out;
}

std::vector<std::uint32_t> Ids(const TBlocks& blocks, std::map<std::string, std::uint32_t>& ids)
{
    std::vector<std::uint32_t> out;
    for (const auto& b : blocks)
        out.push_back(ids.try_emplace(b, static_cast<std::uint32_t>(ids.size())).first->second);
    return out;
}

// Empty when the ranges are a true edit script from a to b; else what is wrong.
std::string ScriptError(const std::vector<TDiffRange>& ranges, const std::vector<std::uint32_t>& a,
                        const std::vector<std::uint32_t>& b, std::size_t* kept)
{
    std::size_t i = 0, j = 0;
    *kept = 0;
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        const TDiffRange& d = ranges[r];
        if (d.OldBegin != i || d.NewBegin != j)
            return "range " + std::to_string(r) + " does not start where the last ended";
        if (r > 0 && ranges[r - 1].Op == d.Op)
            return "range " + std::to_string(r) + " has the kind of its neighbour";
        const std::size_t olds = d.OldEnd - d.OldBegin, news = d.NewEnd - d.NewBegin;
        switch (d.Op) {
        case TDiffOp::Equal:
            if (olds != news || olds == 0)
                return "equal range " + std::to_string(r) + " of unequal or no length";
            for (std::size_t k = 0; k < olds; ++k)
                if (a[i + k] != b[j + k])
                    return "equal range " + std::to_string(r) + " holds different tokens";
            *kept += olds;
            break;
        case TDiffOp::Replace:
            if (olds == 0 || news == 0)
                return "replace range " + std::to_string(r) + " with an empty side";
            break;
        case TDiffOp::Delete:
            if (olds == 0 || news != 0)
                return "delete range " + std::to_string(r) + " is not a deletion";
            break;
        case TDiffOp::Insert:
            if (olds != 0 || news == 0)
                return "insert range " + std::to_string(r) + " is not an insertion";
            break;
        }
        i = d.OldEnd;
        j = d.NewEnd;
    }
    if (i != a.size() || j != b.size())
        return "the ranges do not cover both sequences";
    return {};
}

TBlocks Edited(TBlocks blocks, std::mt19937& rng, const std::vector<std::string>& vocabulary, int edits)
{
    auto pick = [&](std::size_t n) { return n == 0 ? std::size_t{0} : static_cast<std::size_t>(rng() % n); };
    auto fresh = [&] { return vocabulary[pick(vocabulary.size())] + " " + std::to_string(rng() % 50); };
    for (int e = 0; e < edits; ++e) {
        switch (rng() % 5) {
        case 0: // insert a run
            blocks.insert(blocks.begin() + static_cast<std::ptrdiff_t>(pick(blocks.size() + 1)), 1 + rng() % 3,
                          fresh());
            break;
        case 1: // delete a run
            if (!blocks.empty()) {
                const std::size_t at = pick(blocks.size());
                const std::size_t n = std::min<std::size_t>(blocks.size() - at, 1 + rng() % 4);
                blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(at),
                             blocks.begin() + static_cast<std::ptrdiff_t>(at + n));
            }
            break;
        case 2: // change one
            if (!blocks.empty())
                blocks[pick(blocks.size())] = fresh();
            break;
        default: { // move a run elsewhere
            if (blocks.size() < 2)
                break;
            const std::size_t at = pick(blocks.size());
            const std::size_t n = std::min<std::size_t>(blocks.size() - at, 1 + rng() % 5);
            TBlocks run(blocks.begin() + static_cast<std::ptrdiff_t>(at),
                        blocks.begin() + static_cast<std::ptrdiff_t>(at + n));
            blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(at),
                         blocks.begin() + static_cast<std::ptrdiff_t>(at + n));
            blocks.insert(blocks.begin() + static_cast<std::ptrdiff_t>(pick(blocks.size() + 1)), run.begin(),
                          run.end());
        }
        }
    }
    return blocks;
}

TBlocks PageBlocks(const std::string& page)
{
    TPageText text;
    EXPECT_TRUE(ReadPageText(page, text));
    TBlocks out;
    for (const TTextBlock& b : text.Blocks)
        out.emplace_back(text.BlockText(b));
    return out;
}

std::vector<TCase> Cases()
{
    std::mt19937 rng(20261209);
    std::vector<TCase> cases;
    const std::vector<std::string> few = {"a", "b", "c", "d"};
    const std::vector<std::string> many = {"Weather", "Sports", "Markets", "Science", "Music", "Travel", "Health",
                                           "Policy",  "Books",  "Film",    "Games",   "Food",  "Cars",   "Homes"};
    cases.push_back({"both empty", {}, {}});
    cases.push_back({"empty old", {}, {"a", "b", "c"}});
    cases.push_back({"empty new", {"a", "b", "c"}, {}});
    cases.push_back({"one block, same", {"only"}, {"only"}});
    cases.push_back({"one block, changed", {"only"}, {"other"}});
    cases.push_back({"one block to many", {"x"}, {"a", "x", "b"}});
    cases.push_back({"reversed", {"1", "2", "3", "4", "5", "6"}, {"6", "5", "4", "3", "2", "1"}});
    for (int i = 0; i < 60; ++i) {
        // Few distinct blocks: many repeats, where a diff most easily goes wrong.
        TBlocks old;
        const std::size_t n = rng() % 60;
        for (std::size_t k = 0; k < n; ++k)
            old.push_back(few[rng() % few.size()]);
        cases.push_back({"repeats " + std::to_string(i), old, Edited(old, rng, few, 1 + static_cast<int>(rng() % 8))});
    }
    for (int i = 0; i < 60; ++i) {
        TBlocks old;
        const std::size_t n = rng() % 150;
        for (std::size_t k = 0; k < n; ++k)
            old.push_back(many[rng() % many.size()] + " " + std::to_string(k));
        cases.push_back({"unique blocks, moves " + std::to_string(i), old,
                         Edited(old, rng, many, 1 + static_cast<int>(rng() % 12))});
    }
    for (const char* name : {"blog.html", "news.html", "shop.html", "legacy.html", "scripts.html", "svg.html"}) {
        const TBlocks blocks = PageBlocks(ReadFile(std::string(VENDREL_FIXTURES_DIR) + "/pages/" + name));
        EXPECT_FALSE(blocks.empty()) << name;
        for (int i = 0; i < 4; ++i)
            cases.push_back({std::string(name) + " " + std::to_string(i), blocks,
                             Edited(blocks, rng, many, 1 + static_cast<int>(rng() % 6))});
    }
    return cases;
}

} // namespace

TEST(TextDiff, FindsALongestCommonSubsequenceAtLeastAsLongAsDifflibs)
{
    TTempDataFolder tmp;
    const std::vector<TCase> cases = Cases();
    const std::vector<TReference> reference = Reference(cases, tmp.Root());
    ASSERT_EQ(reference.size(), cases.size());
    for (std::size_t c = 0; c < cases.size(); ++c) {
        std::map<std::string, std::uint32_t> ids;
        const auto a = Ids(cases[c].Old, ids), b = Ids(cases[c].New, ids);
        std::vector<TDiffRange> ranges;
        ASSERT_TRUE(DiffTokens(a, b, ranges)) << cases[c].What;
        std::size_t kept = 0;
        EXPECT_EQ(ScriptError(ranges, a, b, &kept), "") << cases[c].What;
        EXPECT_EQ(kept, reference[c].Lcs) << cases[c].What << "; difflib:" << reference[c].Opcodes;
        EXPECT_GE(kept, reference[c].DifflibKept) << cases[c].What;
        const bool same = ranges.size() == 1 && ranges[0].Op == TDiffOp::Equal;
        const bool difflibSame = reference[c].Opcodes.find("equal:") != std::string::npos &&
                                 reference[c].Opcodes.find(' ', 1) == std::string::npos;
        if (!a.empty() || !b.empty())
            EXPECT_EQ(same, difflibSame) << cases[c].What << ":" << reference[c].Opcodes;
        else
            EXPECT_TRUE(ranges.empty());
    }
}

// A large page with half its blocks changed costs too much for a shortest
// script: it is split at the blocks that occur once on each side, and what
// comes out is still a true difference that keeps nearly every kept block.
TEST(TextDiff, ManyChangesSplitAtUniqueBlocksAndStayATrueDifference)
{
    std::mt19937 rng(7);
    std::vector<std::uint32_t> a, b;
    std::uint32_t next = 0;
    std::size_t unchanged = 0;
    for (int i = 0; i < 20000; ++i) {
        a.push_back(next++);
        if (rng() % 2) {
            b.push_back(a.back());
            ++unchanged;
        } else {
            b.push_back(next++);
        }
    }
    std::vector<TDiffRange> ranges;
    TDiffLimits limits;
    limits.MaxSteps = 100000;
    ASSERT_TRUE(DiffTokens(a, b, ranges, limits));
    std::size_t kept = 0;
    EXPECT_EQ(ScriptError(ranges, a, b, &kept), "");
    EXPECT_EQ(kept, unchanged);

    // No block occurs once: the region is taken as replaced whole.
    std::vector<std::uint32_t> c(3000, 1), d(3000, 1);
    for (std::size_t i = 0; i < c.size(); i += 2)
        c[i] = 2;
    for (std::size_t i = 1; i < d.size(); i += 3)
        d[i] = 2;
    limits.MaxSteps = 1000;
    ASSERT_TRUE(DiffTokens(c, d, ranges, limits));
    EXPECT_EQ(ScriptError(ranges, c, d, &kept), "");
}

TEST(TextDiff, LimitsEndTheDiffWithNothing)
{
    std::vector<std::uint32_t> a(1000), b(1000);
    for (std::uint32_t i = 0; i < 1000; ++i) {
        a[i] = i;
        b[i] = 5000 + i;
    }
    std::vector<TDiffRange> ranges{{TDiffOp::Equal, 0, 1, 0, 1}};
    TDiffLimits limits;
    limits.MaxTokens = 999;
    EXPECT_FALSE(DiffTokens(a, b, ranges, limits));
    EXPECT_TRUE(ranges.empty());
    limits = {};
    limits.Deadline = TThreadClock::now() - std::chrono::milliseconds(1);
    EXPECT_FALSE(DiffTokens(a, b, ranges, limits));
    EXPECT_TRUE(ranges.empty());
}

// Sequences that differ in one place, with tokens that repeat on either side
// of it (so the head and tail could be taken shorter or longer than they
// are): the ranges from the head and tail alone are DiffTokens' own.
TEST(TextDiff, OnePlaceFromItsHeadAndTailIsWhatTheDiffGives)
{
    std::mt19937 rng(31);
    int cases = 0;
    while (cases < 3000) {
        std::vector<std::uint32_t> a(rng() % 12), b;
        for (auto& t : a)
            t = rng() % 3;
        b = a;
        const std::size_t at = rng() % (b.size() + 1);
        if (rng() % 2) {
            std::vector<std::uint32_t> added(1 + rng() % 4);
            for (auto& t : added)
                t = rng() % 3;
            b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
        } else {
            b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                    b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), at + 1 + rng() % 4)));
        }
        if (rng() % 2)
            std::swap(a, b);
        std::size_t head = 0, tail = 0;
        while (head < a.size() && head < b.size() && a[head] == b[head])
            ++head;
        while (a.size() - tail > head && b.size() - tail > head && a[a.size() - tail - 1] == b[b.size() - tail - 1])
            ++tail;
        ASSERT_TRUE(head == a.size() - tail || head == b.size() - tail) << "one side has nothing of its own";
        std::vector<TDiffRange> expected, got;
        ASSERT_TRUE(DiffTokens(a, b, expected));
        DiffAroundOnePlace(a.size(), b.size(), head, tail, got);
        ASSERT_EQ(got, expected) << "case " << cases;
        ++cases;
    }
}

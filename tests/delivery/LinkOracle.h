#pragma once

// The addresses of a page as our parser reports them and as gumbo's tree
// construction gives them, in a form the two can be compared in: for each of
// the elements the rewriting rewrites (a, img, body, script, link), the
// address attribute's value as reported (trimmed, relative ones with
// "about:blank" in front) and where its raw text stands in the page.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TOracleLink {
    std::string Tag;   // upper case
    std::string Value; // as the parser reports it
    std::size_t Offset = std::string::npos; // npos: no place in the source
    std::size_t Length = 0;

    bool operator<(const TOracleLink& o) const;
    bool operator==(const TOracleLink& o) const;
};

struct TOracleResult {
    std::vector<TOracleLink> Links;
    // gumbo faults met on the page, by name; their links are compared by
    // value only.
    std::vector<std::string> KnownFaults;
    // Start tags, from '<' to past '>', whose links gumbo gets wrong for
    // one of those faults: neither side's links there are compared.
    std::vector<std::pair<std::size_t, std::size_t>> Unsure;
    // A fault that changes which elements gumbo builds after it: where the
    // links differ, the page is not compared.
    bool TreeUnsure = false;
    // Elements (upper case) whose links are not compared anywhere: a second
    // <body> may give the first its address.
    std::vector<std::string> UnsureTags;
};

TOracleResult GumboLinks(std::string_view page);
// badDocument: the parser found four elements or fewer and walked nothing.
std::vector<TOracleLink> ParserLinks(const std::string& page, bool* badDocument = nullptr);

// Empty when both agree; otherwise a description of the first difference.
std::string CompareLinks(const std::string& page, std::vector<std::string>* knownFaults = nullptr);

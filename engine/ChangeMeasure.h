#pragma once

// How far a freshly downloaded page has moved from the copy kept at the last
// delivery, and whether that is enough to deliver it again.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/Text.h"

// Thresholds as held in site entries and the settings. Positive values are
// compared with the change measure; 0 asks for any difference at all.
constexpr int ThresholdDefault = -2;   // use the main window's sensitivity
constexpr int ThresholdAlways = -1;    // deliver at every check

// The measure runs from 0 (same bytes, in any order) to this.
constexpr int ChangeMeasureMax = 5000;

// Raised when neither text has a single byte, line breaks included: there is
// nothing to divide by.
class EChangeMeasureUndefined : public std::runtime_error {
public:
    EChangeMeasureUndefined();
};

using THistogram = std::array<std::uint32_t, 256>;

// One counter per byte value over every byte of every line; line breaks are
// not counted.
THistogram ByteHistogram(const TLines& lines);

// Sum of the counter differences of the two texts over the length of both
// text forms (CR LF after every line), scaled to 0..5000 and rounded to the
// nearest integer, halves to the even neighbour.
int ChangeMeasure(const TLines& newLines, const TLines& storedLines);

// True when the site is to be skipped. threshold 0 compares line for line and
// gives "0" or ">0" as value text; any other threshold skips while the measure
// stays below it, with the measure as value text.
bool SiteUnchanged(const TLines& newLines, const TLines& storedLines, int threshold,
                   std::string& valueText);

// The same two for whole texts, split into lines as SplitLines would but
// without building the lists: a page of millions of short lines would take
// dozens of times its size as one.
int PageChangeMeasure(std::string_view newText, std::string_view storedText);
bool PageUnchanged(std::string_view newText, std::string_view storedText, int threshold, std::string& valueText);

#pragma once

// One numeric-coded server reply: its code as number and text, and its text lines.

#include "platform/Text.h"

#include <string>

class TNetRFCReply {
public:
    int NumericCode() const { return numericCode_; }
    // A value above 0 also sets TextCode to its digits.
    void SetNumericCode(int code);
    const std::string& TextCode() const { return textCode_; }
    // A non-empty text also sets NumericCode (0 when it is no number).
    void SetTextCode(const std::string& code);
    void Clear();
    // Parses the lines of one reply: the code from the first line, and every
    // line from its fifth character on as a text line.
    void ParseLines(const TLines& lines);

    TLines Text;

private:
    int numericCode_ = 0;
    std::string textCode_;
};

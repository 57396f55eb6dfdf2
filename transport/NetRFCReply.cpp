#include "transport/NetRFCReply.h"

void TNetRFCReply::SetNumericCode(int code)
{
    numericCode_ = code;
    if (code > 0)
        textCode_ = std::to_string(code);
}

void TNetRFCReply::SetTextCode(const std::string& code)
{
    textCode_ = code;
    if (!code.empty())
        numericCode_ = StrToIntDef(code, 0);
}

void TNetRFCReply::Clear()
{
    numericCode_ = 0;
    textCode_.clear();
    Text.clear();
}

void TNetRFCReply::ParseLines(const TLines& lines)
{
    Clear();
    if (lines.empty())
        return;
    std::string code = Trim(std::string_view(lines.front()).substr(0, 4));
    if (code.size() == 4 && code.back() == '-')
        code.pop_back();
    SetTextCode(code);
    for (const auto& line : lines)
        Text.push_back(line.size() > 4 ? line.substr(4) : std::string());
}

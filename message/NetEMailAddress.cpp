#include "message/NetEMailAddress.h"

#include "platform/Text.h"

#include <cstring>

namespace {

bool IsAtomChar(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && std::strchr("`!#$%&'*+-/=?_{}|~", c) != nullptr;
}

std::string Escaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

std::string AddressForm(const std::string& address, const std::string& name)
{
    if (address.empty())
        return name.empty() ? std::string() : std::string("<>");
    std::string local;
    std::string domain;
    const std::size_t at = address.rfind('@');
    if (at != std::string::npos) {
        local = address.substr(0, at);
        domain = address.substr(at);
    }
    std::size_t firstOther = 0;
    while (firstOther < local.size() && IsAtomChar(local[firstOther]))
        ++firstOther;
    if (firstOther == local.size() || local[firstOther] == '.') {
        if (name.empty())
            return local + domain;
        return "<" + local + domain + ">";
    }
    return "<\"" + local.substr(0, firstOther) + Escaped(std::string_view(local).substr(firstOther))
        + "\"" + domain + ">";
}

} // namespace

std::string TNetEMailAddressItem::Text() const
{
    // Text() is written into the "Sender" header unencoded: a CR or LF in it
    // would start a header line of the sender's choosing.
    const std::string address = WithoutLineBreaks(Address);
    const std::string name = WithoutLineBreaks(Name);
    const std::string form = AddressForm(address, name);
    if (name.empty() || name == UpperCase(address))
        return form;
    bool plain = true;
    for (const char c : name)
        if (!IsAtomChar(c) && c != ' ') {
            plain = false;
            break;
        }
    if (plain)
        return name + " " + form;
    return "\"" + Escaped(name) + "\" " + form;
}

void TNetEMailAddressItem::Clear()
{
    Address.clear();
    Name.clear();
}

TNetEMailAddressItem& TNetEMailAddressList::Add()
{
    return FItems.emplace_back();
}

TNetEMailAddressItem& TNetEMailAddressList::Add(std::string address, std::string name)
{
    TNetEMailAddressItem& item = FItems.emplace_back();
    item.Address = std::move(address);
    item.Name = std::move(name);
    return item;
}

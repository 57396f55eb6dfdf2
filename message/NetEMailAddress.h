#pragma once

// One mail address with its display name, and an ordered list of them.

#include <cstddef>
#include <string>
#include <vector>

class TNetEMailAddressItem {
public:
    std::string Address;
    std::string Name;

    // The address as written in a header without encoding: a bare address,
    // or the name followed by the address in angle brackets, quoting where
    // the name or the local part needs it. Never holds a CR or LF.
    std::string Text() const;
    void Clear();
};

class TNetEMailAddressList {
public:
    // Appends an empty item and returns it.
    TNetEMailAddressItem& Add();
    TNetEMailAddressItem& Add(std::string address, std::string name = {});
    void Clear() { FItems.clear(); }
    bool Empty() const { return FItems.empty(); }
    std::size_t Count() const { return FItems.size(); }
    TNetEMailAddressItem& operator[](std::size_t index) { return FItems[index]; }
    const TNetEMailAddressItem& operator[](std::size_t index) const { return FItems[index]; }
    std::vector<TNetEMailAddressItem>::iterator begin() { return FItems.begin(); }
    std::vector<TNetEMailAddressItem>::iterator end() { return FItems.end(); }
    std::vector<TNetEMailAddressItem>::const_iterator begin() const { return FItems.begin(); }
    std::vector<TNetEMailAddressItem>::const_iterator end() const { return FItems.end(); }

private:
    std::vector<TNetEMailAddressItem> FItems;
};

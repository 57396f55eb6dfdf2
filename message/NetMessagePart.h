#pragma once

// The parts of a multipart message. Only text parts exist; the base class
// keeps the part's own content headers.

#include "message/NetHeaderList.h"
#include "platform/Text.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TNetMessagePart {
public:
    virtual ~TNetMessagePart() = default;
    TNetMessagePart(const TNetMessagePart&) = delete;
    TNetMessagePart& operator=(const TNetMessagePart&) = delete;

    // Stored as "Content-Type" and "Content-Transfer-Encoding" in Headers.
    std::string ContentType() const { return Headers.Value("Content-Type"); }
    void SetContentType(std::string_view value) { Headers.SetValue("Content-Type", value); }
    std::string ContentTransfer() const { return Headers.Value("Content-Transfer-Encoding"); }
    void SetContentTransfer(std::string_view value) { Headers.SetValue("Content-Transfer-Encoding", value); }

    virtual bool IsTextPart() const = 0;

    TNetHeaderList Headers;
    TNetHeaderList ExtraHeaders;

protected:
    TNetMessagePart() = default;
};

class TNetText : public TNetMessagePart {
public:
    bool IsTextPart() const override { return true; }

    TLines Body;
};

// The message's parts in creation order; the collection owns them.
class TNetMessageParts {
public:
    TNetText& AddTextPart();
    void Clear() { FParts.clear(); }
    bool Empty() const { return FParts.empty(); }
    std::size_t Count() const { return FParts.size(); }
    std::size_t TextPartCount() const;
    TNetMessagePart& operator[](std::size_t index) { return *FParts[index]; }
    const TNetMessagePart& operator[](std::size_t index) const { return *FParts[index]; }

private:
    std::vector<std::unique_ptr<TNetMessagePart>> FParts;
};

#include "engine/PageValidators.h"

#include "platform/AtomicFile.h"

#include <cstdio>
#include <string_view>
#include <sys/stat.h>

namespace {

constexpr std::string_view LengthKey = "Page-Length: ";
constexpr std::string_view ETagKey = "ETag: ";
constexpr std::string_view LastModifiedKey = "Last-Modified: ";

} // namespace

std::string ValidatorsPath(const std::string& storedPagePath)
{
    std::string path = storedPagePath;
    if (path.size() >= 5 && path.compare(path.size() - 5, 5, ".html") == 0)
        path.resize(path.size() - 5);
    return path + ".http";
}

std::optional<TPageValidators> ReadValidators(const std::string& storedPagePath)
{
    struct stat st {};
    if (::stat(storedPagePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    const auto text = ReadWholeFile(ValidatorsPath(storedPagePath));
    if (!text)
        return std::nullopt;
    TPageValidators v;
    bool lengthMatches = false;
    std::size_t at = 0;
    while (at < text->size()) {
        std::size_t end = text->find("\r\n", at);
        if (end == std::string::npos)
            end = text->size();
        const std::string_view line(text->data() + at, end - at);
        if (line.starts_with(LengthKey))
            lengthMatches = line.substr(LengthKey.size()) == std::to_string(st.st_size);
        else if (line.starts_with(ETagKey))
            v.ETag = line.substr(ETagKey.size());
        else if (line.starts_with(LastModifiedKey))
            v.LastModified = line.substr(LastModifiedKey.size());
        at = end + 2;
    }
    if (!lengthMatches || v.Empty())
        return std::nullopt;
    return v;
}

bool WriteValidators(const std::string& storedPagePath, std::uint64_t pageBytes, const TPageValidators& validators,
                     TDeferredSync* later)
{
    if (validators.Empty()) {
        RemoveValidators(storedPagePath);
        return true;
    }
    std::string text = std::string(LengthKey) + std::to_string(pageBytes) + "\r\n";
    if (!validators.ETag.empty())
        text += std::string(ETagKey) + validators.ETag + "\r\n";
    if (!validators.LastModified.empty())
        text += std::string(LastModifiedKey) + validators.LastModified + "\r\n";
    return WriteFileAtomic(ValidatorsPath(storedPagePath), text, std::nullopt, later);
}

void RemoveValidators(const std::string& storedPagePath)
{
    std::remove(ValidatorsPath(storedPagePath).c_str());
}

#pragma once

// The server's validators of a stored page (its ETag and Last-Modified),
// kept in a small file beside the stored page so that the next fetch can ask
// the server whether the page is still the one stored. The file names the
// stored page's length: validators that do not belong to the copy on disk
// (a save killed between the two files, a page replaced by hand) are not
// used, and the page is fetched whole.

#include <cstdint>
#include <optional>
#include <string>

class TDeferredSync;

struct TPageValidators {
    std::string ETag;
    std::string LastModified;
    bool Empty() const { return ETag.empty() && LastModified.empty(); }
};

// "News.html" keeps its validators in "News.http": the same length of
// suffix, so every name that can name a stored page can name this file too.
std::string ValidatorsPath(const std::string& storedPagePath);

// The validators of the stored page at storedPagePath, when that page exists
// and is the copy they were kept for.
std::optional<TPageValidators> ReadValidators(const std::string& storedPagePath);

// Keeps validators for a stored page of pageBytes bytes; none to keep removes
// the file. Gives false when the file could not be written.
bool WriteValidators(const std::string& storedPagePath, std::uint64_t pageBytes, const TPageValidators& validators,
                     TDeferredSync* later = nullptr);

// Removes the validators of a stored page; a missing file is no failure.
void RemoveValidators(const std::string& storedPagePath);

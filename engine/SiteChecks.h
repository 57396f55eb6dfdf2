#pragma once

// How a site's recent checks went, kept across restarts in a small file
// beside its stored page (page folder + name + ".checks"): how many checks in
// a row have failed, and when the last good one was. A site that keeps
// failing is told to the user once, at its third failed check in a row.

#include "platform/Clock.h"

#include <optional>
#include <string>

inline constexpr int FailuresBeforeNotice = 3;

struct TSiteChecks {
    int Failures = 0;
    // None when no good check has been recorded.
    std::optional<TDateTime> LastGood;
    bool operator==(const TSiteChecks&) const = default;
};

std::string SiteChecksPath(const std::string& pageFolder, const std::string& name);

// A missing, unreadable or damaged file reads as no failures and no good
// check: at worst a notice comes three failures later than it would have.
TSiteChecks ReadSiteChecks(const std::string& path);
// Gives false (errno set) when the file cannot be written.
bool WriteSiteChecks(const std::string& path, const TSiteChecks& checks);

// The record's text and its reading, one "Key=value" per line.
std::string SiteChecksText(const TSiteChecks& checks);
TSiteChecks ParseSiteChecks(const std::string& text);

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
// While no check has failed, the file's modification time is the last good
// check's (see NoteGoodCheck).
TSiteChecks ReadSiteChecks(const std::string& path);
// Gives false (errno set) when the file cannot be written.
bool WriteSiteChecks(const std::string& path, const TSiteChecks& checks);
// A good check after good checks changes only the time: the file's
// modification time is set to it, which writes no data (rewriting every
// site's file at every pass cost a pass of unchanged pages more than its
// network did). Gives false when the file was not already a record of no
// failures, or its time cannot be set; then it is for WriteSiteChecks.
bool NoteGoodCheck(const std::string& path, TDateTime when);

// The record's text and its reading, one "Key=value" per line.
std::string SiteChecksText(const TSiteChecks& checks);
TSiteChecks ParseSiteChecks(const std::string& text);

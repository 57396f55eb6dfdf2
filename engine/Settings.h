#pragma once

// The settings record that "Settings.dat" holds and the window's controls
// bind. The start-up registration lives beside it, outside the file.

#include "delivery/MailServerSettings.h"
#include "engine/Sensitivity.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

class TSiteList;

// Time of day of the daily check.
struct TTimeOfDay {
    int Hour = 7;
    int Minute = 0;
    int Second = 0;
    bool operator==(const TTimeOfDay&) const = default;
};

struct TSettings {
    TMailServerSettings Server;
    std::string SenderAddress;
    std::string DestEmail;
    std::string Subject = "Vendrel Delivery";
    TSensitivityChoice Sensitivity;
    bool OncePerDay = true;
    TTimeOfDay CheckTime;
    int CheckFrequency = 1;
    // 0 minutes, 1 hours, 2 days; -1 when the file named none of them.
    int CheckFrequencyScale = 1;
    bool FlashIcon = true;
    bool ShowDeliveredDates = false;
    bool TrayIcon = true;
    bool LoggingTabVisible = true;
    bool ActiveNetConnection = true;
    bool ConfirmClose = true;
    // A summary of what changed first in each mail, and the new text marked
    // in the page. On for a first start; off when the file has no such key,
    // so that mail stays as it was for those who had the program before.
    bool MarkChanges = false;
    // "UserAgent": what pages are asked for as; empty for the program's own
    // name. Only read: no control edits it, so a save leaves the key as the
    // user wrote it.
    std::string UserAgent;
    // Kept in the start-up registration, not in the file.
    bool AutoStart = false;
};

// "TRUE"/"YES" (any case) and "-1" are true, "FALSE"/"NO" and "0" false;
// anything else gives the default.
bool TextToBool(const std::string& text, bool fallback);

// CheckTime's text form, and its reading: only a time of day that parses
// replaces the current one.
std::string CheckTimeText(const TTimeOfDay& time);
bool ParseCheckTime(const std::string& text, TTimeOfDay& time);

// Settings are a few hundred bytes; anything near this is not ours to read.
constexpr std::size_t MaxSettingsFileBytes = std::size_t{1} << 20;

class ESettingsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where the files are.
class TPasswordKeyring;

struct TSettingsFiles {
    std::string DataFolder;     // ends in "/"
    std::string ProgramFolder;  // holds "Source.dat"
    std::string ProgramPath;    // for the start-up registration
    // Where the mail password goes when a keyring is there; none: the file.
    TPasswordKeyring* Keyring = nullptr;
    std::string SettingsPath() const { return DataFolder + "Settings.dat"; }
    std::string SitesPath() const { return DataFolder + "Sites.dat"; }
    std::string SourcePath() const { return ProgramFolder + "Source.dat"; }
    std::string SiteOptionsPath() const { return DataFolder + "SiteOptions.dat"; }
};
// The program start computes the data folder once and hands it down.
TSettingsFiles DefaultSettingsFiles(const std::string& dataFolder);

// Reads "Settings.dat" and the site list in their fixed order. A failure ends
// the load at that point with ESettingsError; what was read before stays.
// A first start (no "Sites.dat") seeds the list from "Source.dat", writes it
// and switches the start-up option on.
void LoadSettingsFrom(const TSettingsFiles& files, TSettings& settings, TSiteList& sites);

// Writes every key in its fixed order, then the site list ("Er" on failure)
// with the sites' options beside it, then the start-up registration ("Error encountered saving registry").
void SaveSettingsTo(const TSettingsFiles& files, const TSettings& settings, const TSiteList& sites);

// What vendrel-check says when the password it needs is in a keyring it
// cannot read.
std::string KeyringProblemText(const TSettings& settings);

// A save refused because the last load failed.
class ESettingsSaveRefused : public ESettingsError {
public:
    using ESettingsError::ESettingsError;
};

// The window's load and save. A load that fails part way leaves defaults (or
// an empty list) where the user's values could not be read; a save then would
// write them over files that still hold the user's settings. So the store
// remembers the failure and refuses every save until a load succeeds.
class TSettingsStore {
public:
    explicit TSettingsStore(TSettingsFiles files) : files_(std::move(files)) {}

    const TSettingsFiles& Files() const { return files_; }

    // As LoadSettingsFrom; a failure is remembered before it is raised.
    void Load(TSettings& settings, TSiteList& sites);
    // As SaveSettingsTo, but raises ESettingsSaveRefused with SaveRefusedText
    // (and writes nothing) while the last load failed.
    void Save(const TSettings& settings, const TSiteList& sites);

    bool LoadFailed() const { return loadFailed_; }
    // Why the last load failed; empty after a successful one.
    const std::string& LoadFailure() const { return loadFailure_; }
    // The message a refused save shows; empty while saving is allowed.
    std::string SaveRefusedText() const;

private:
    TSettingsFiles files_;
    bool loadFailed_ = false;
    std::string loadFailure_;
};

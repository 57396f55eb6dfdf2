#include "engine/Settings.h"

#include "engine/Product.h"
#include "engine/SiteList.h"
#include "platform/AutoStart.h"
#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "platform/Keyring.h"
#include "platform/Text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <regex>
#include <sys/stat.h>

namespace {

// The file holds the mail password in plain text: only its owner may read it.
constexpr mode_t SettingsMode = 0600;

constexpr const char* Server = "Server";
constexpr const char* Settings = "Settings";

class TSettingsReader {
public:
    explicit TSettingsReader(const std::string& path) : ini_(path, std::nullopt, MaxSettingsFileBytes)
    {
        // Defaults in place of settings that exist but cannot be read would
        // be saved over them at the next OK.
        if (ini_.Unreadable())
            throw ESettingsError(ini_.ReadFailure());
    }
    std::optional<std::string> Value(const char* section, const char* key) const
    {
        return ini_.Value(section, key);
    }
    std::string Text(const char* section, const char* key, const std::string& fallback) const
    {
        return ini_.ReadString(section, key, fallback);
    }
    int Integer(const char* section, const char* key, int fallback) const
    {
        return StrToIntDef(ini_.ReadString(section, key, ""), fallback);
    }
    bool Bool(const char* section, const char* key, bool fallback) const
    {
        return TextToBool(ini_.ReadString(section, key, ""), fallback);
    }

private:
    TIniFile ini_;
};

class TSettingsWriter {
public:
    explicit TSettingsWriter(const std::string& path) : ini_(path, SettingsMode) {}
    void Text(const char* section, const char* key, const std::string& value)
    {
        if (!ini_.WriteString(section, key, value))
            throw ESettingsError("Unable to write to " + ini_.FileName());
    }
    void Integer(const char* section, const char* key, int value) { Text(section, key, std::to_string(value)); }
    void Bool(const char* section, const char* key, bool value) { Text(section, key, value ? "True" : "False"); }

private:
    TIniFile ini_;
};

constexpr const char* KeyringStore = "Keyring";

// The password named by "SMTPPasswordStore=Keyring" comes from the keyring;
// a keyring that cannot be read leaves it empty and says why, so the rest of
// the settings and the site list still load.
void ReadKeyringPassword(const TSettingsFiles& files, TSettings& s)
{
    s.Server.Password.clear();
    if (!files.Keyring) {
        s.Server.KeyringProblem = "this program cannot reach a keyring";
        return;
    }
    try {
        if (auto password = files.Keyring->Lookup(s.Server.Host, s.Server.Username))
            s.Server.Password = std::move(*password);
        else
            s.Server.KeyringProblem = "the keyring holds no Vendrel password for " + s.Server.Username + " at " +
                               s.Server.Host;
    } catch (const EKeyringError& e) {
        s.Server.KeyringProblem = e.what();
    }
}

// Moves the password into the keyring whenever one takes it; otherwise it
// stays in the file, which only its owner can read. A password that is in
// the keyring but could not be read this time keeps its place there rather
// than being replaced by an empty one.
void WritePassword(const TSettingsFiles& files, const TSettings& s, const TIniFile& before, TSettingsWriter& ini)
{
    const bool unreadKeyringPassword = s.Server.PasswordInKeyring && s.Server.Password.empty();
    bool inKeyring = false;
    if (files.Keyring && (!s.Server.Password.empty() || s.Server.PasswordInKeyring) && files.Keyring->Available()) {
        try {
            if (!unreadKeyringPassword)
                files.Keyring->Store(s.Server.Host, s.Server.Username, s.Server.Password);
            inKeyring = true;
        } catch (const EKeyringError&) {
        }
    }
    if (inKeyring || unreadKeyringPassword) {
        ini.Text(Server, "SMTPPassword", "");
        ini.Text(Server, "SMTPPasswordStore", KeyringStore);
        return;
    }
    ini.Text(Server, "SMTPPassword", s.Server.Password);
    // Files that never named a store keep their keys as they were.
    if (before.Value(Server, "SMTPPasswordStore"))
        ini.Text(Server, "SMTPPasswordStore", "File");
}

// A whole decimal number from 1 to 65535, nothing else.
std::optional<int> PortOfText(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const auto first = text.find_first_not_of('0');
    if (first == std::string::npos || text.size() - first > 5)
        return std::nullopt;
    const int value = std::stoi(text.substr(first));
    if (value > 65535)
        return std::nullopt;
    return value;
}

// "2525.0", "0x9C4", a number beyond 32 bits or an empty value must not
// quietly become port 25: the text is kept, and mail is refused with it.
void ReadPort(const TSettingsReader& ini, TMailServerSettings& server)
{
    server.PortText.reset();
    const auto text = ini.Value(Server, "SMTPPort");
    if (!text) {
        server.Port = 25;
        return;
    }
    if (const auto port = PortOfText(*text)) {
        server.Port = *port;
        return;
    }
    server.PortText = *text;
    server.Port = StrToIntDef(*text, 0);
}

// An unknown word is kept rather than read as Auto: it may have been meant
// as a stricter choice than the one Auto would make.
void ReadSecurity(const TSettingsReader& ini, TMailServerSettings& server)
{
    const std::string text = ini.Text(Server, "SMTPSecurity", "");
    server.Security = SMTPSecurityFromText(text);
    server.SecurityText.reset();
    if (!text.empty() && !SameText(text, SMTPSecurityText(server.Security)))
        server.SecurityText = text;
}

int ClampFrequency(int value)
{
    return value < 1 ? 1 : (value > 2400 ? 2400 : value);
}

} // namespace

bool TextToBool(const std::string& text, bool fallback)
{
    if (SameText(text, "TRUE") || SameText(text, "YES") || text == "-1")
        return true;
    if (SameText(text, "FALSE") || SameText(text, "NO") || text == "0")
        return false;
    return fallback;
}

std::string CheckTimeText(const TTimeOfDay& time)
{
    // The picker holds a full date and time; only the time of day matters, so
    // the date is the picker's zero date.
    char buf[32];
    std::snprintf(buf, sizeof buf, "1899-12-30 %02d:%02d:%02d", time.Hour, time.Minute, time.Second);
    return buf;
}

bool ParseCheckTime(const std::string& text, TTimeOfDay& time)
{
    // An optional date (any form without a colon) before H:MM[:SS] and an
    // optional AM/PM.
    static const std::regex form(R"(^\s*(?:[^:\s]+\s+)?(\d{1,2}):(\d{2})(?::(\d{2}))?\s*([AaPp][Mm])?\s*$)");
    std::smatch m;
    if (!std::regex_match(text, m, form))
        return false;
    int hour = std::stoi(m[1]);
    const int minute = std::stoi(m[2]);
    const int second = m[3].matched ? std::stoi(m[3]) : 0;
    if (m[4].matched) {
        if (hour < 1 || hour > 12)
            return false;
        const bool pm = m[4].str()[0] == 'p' || m[4].str()[0] == 'P';
        hour = hour % 12 + (pm ? 12 : 0);
    }
    if (hour > 23 || minute > 59 || second > 59)
        return false;
    time = TTimeOfDay{hour, minute, second};
    return true;
}

TSettingsFiles DefaultSettingsFiles(const std::string& dataFolder)
{
    return TSettingsFiles{dataFolder, ProgramShareFolder(), ProgramPath(), &SystemKeyring()};
}

void LoadSettingsFrom(const TSettingsFiles& files, TSettings& s, TSiteList& sites)
{
    const TSettingsReader ini(files.SettingsPath());
    struct stat settingsStat {};
    const bool firstStart = ::stat(files.SettingsPath().c_str(), &settingsStat) != 0 && errno == ENOENT;

    s.Server.Host = ini.Text(Server, "SMTPServer", "");
    s.Server.Username = ini.Text(Server, "SMTPUsername", "");
    s.Server.Password = ini.Text(Server, "SMTPPassword", "");
    ReadPort(ini, s.Server);
    s.Server.Logon = ini.Bool(Server, "SMTPLogon", false);
    s.Server.TimeOutSeconds = ini.Integer(Server, "SMTPTimeOut", 90);
    ReadSecurity(ini, s.Server);
    s.Server.CAFile = ini.Text(Server, "SMTPCAFile", "");
    s.Server.PasswordInKeyring = SameText(ini.Text(Server, "SMTPPasswordStore", ""), KeyringStore);
    s.Server.KeyringProblem.clear();
    if (s.Server.PasswordInKeyring)
        ReadKeyringPassword(files, s);

    s.Subject = ini.Text(Settings, "Subject", "Vendrel Delivery");
    if (s.Subject.empty())
        s.Subject = "Vendrel Delivery";
    s.SenderAddress = ini.Text(Settings, "SenderAddress", "");
    s.DestEmail = ini.Text(Settings, "DestEmail", "");
    s.OncePerDay = ini.Bool(Settings, "OncePerDay", true);
    const std::string checkTime = ini.Text(Settings, "CheckTime", "");
    if (!checkTime.empty())
        ParseCheckTime(checkTime, s.CheckTime);
    s.LoggingTabVisible = ini.Bool(Settings, "LoggingTabVisible", true);
    const int scale = ini.Integer(Settings, "CheckFrequencyScale", 1);
    s.CheckFrequencyScale = (scale >= 0 && scale <= 2) ? scale : -1;
    s.CheckFrequency = ClampFrequency(ini.Integer(Settings, "CheckFrequency", 1));
    ShowThreshold(s.Sensitivity, ini.Integer(Settings, "ChangeDetectionValue", 30));
    s.FlashIcon = ini.Bool(Settings, "FlashIcon", true);
    s.ShowDeliveredDates = ini.Bool(Settings, "ShowDeliveredDates", false);
    s.TrayIcon = ini.Bool(Settings, "TrayIcon", true);
    s.ActiveNetConnection = ini.Bool(Settings, "ActiveNetConnection", true);
    s.ConfirmClose = ini.Bool(Settings, "ConfirmClose", true);
    s.MarkChanges = ini.Bool(Settings, "MarkChanges", firstStart);
    s.UserAgent = ini.Text(Settings, "UserAgent", "");

    // Only a list that is not there at all is seeded; one that is there but
    // cannot be reached must not be replaced by the seed.
    struct stat st {};
    const bool listFound = ::stat(files.SitesPath().c_str(), &st) == 0;
    if (!listFound && errno != ENOENT)
        throw ESettingsError("Cannot read " + files.SitesPath() + ": " + std::strerror(errno));
    if (listFound) {
        std::string failure;
        if (!LoadSiteList(sites, files.SitesPath(), &failure))
            throw ESettingsError(failure);
        s.AutoStart = IsAutoStart(ProductName);
    } else {
        if (!SeedSiteList(sites, files.SourcePath()))
            throw ESettingsError("Cannot read " + files.SourcePath());
        if (!SaveSiteList(sites, files.SitesPath()))
            throw ESettingsError("Cannot write " + files.SitesPath());
        s.AutoStart = true;
    }
    // Options that cannot be read are not replaced by none at the next save.
    TSiteOptionsMap options;
    if (!LoadSiteOptions(files.SiteOptionsPath(), options))
        throw ESettingsError("Cannot read " + files.SiteOptionsPath() + ": " + std::strerror(errno));
    sites.SetAllOptions(std::move(options));
}

void SaveSettingsTo(const TSettingsFiles& files, const TSettings& s, const TSiteList& sites)
{
    const TIniFile before(files.SettingsPath());
    TSettingsWriter ini(files.SettingsPath());

    ini.Text(Server, "SMTPServer", s.Server.Host);
    ini.Text(Server, "SMTPUsername", s.Server.Username);
    WritePassword(files, s, before, ini);
    if (s.Server.PortText)
        ini.Text(Server, "SMTPPort", *s.Server.PortText);
    else
        ini.Integer(Server, "SMTPPort", s.Server.Port);
    ini.Integer(Server, "SMTPTimeOut", s.Server.TimeOutSeconds);
    ini.Bool(Server, "SMTPLogon", s.Server.Logon);
    ini.Text(Server, "SMTPSecurity", s.Server.SecurityText.value_or(SMTPSecurityText(s.Server.Security)));
    ini.Text(Server, "SMTPCAFile", s.Server.CAFile);

    ini.Text(Settings, "SenderAddress", s.SenderAddress);
    ini.Text(Settings, "DestEmail", s.DestEmail);
    ini.Text(Settings, "Subject", s.Subject);
    ini.Integer(Settings, "ChangeDetectionValue", ThresholdOfChoice(s.Sensitivity));
    ini.Bool(Settings, "OncePerDay", s.OncePerDay);
    ini.Text(Settings, "CheckTime", CheckTimeText(s.CheckTime));
    ini.Integer(Settings, "CheckFrequency", s.CheckFrequency);
    ini.Integer(Settings, "CheckFrequencyScale", s.CheckFrequencyScale);
    ini.Bool(Settings, "FlashIcon", s.FlashIcon);
    ini.Bool(Settings, "ShowDeliveredDates", s.ShowDeliveredDates);
    ini.Bool(Settings, "TrayIcon", s.TrayIcon);
    ini.Bool(Settings, "LoggingTabVisible", s.LoggingTabVisible);
    ini.Bool(Settings, "ActiveNetConnection", s.ActiveNetConnection);
    ini.Bool(Settings, "ConfirmClose", s.ConfirmClose);
    ini.Bool(Settings, "MarkChanges", s.MarkChanges);

    if (!SaveSiteList(sites, files.SitesPath()))
        throw ESettingsError("Er");
    // Written with the list, so a rename or a delete reaches both at once; a
    // user who never set an option gets no file.
    struct stat st {};
    if (!sites.Options().empty() || ::stat(files.SiteOptionsPath().c_str(), &st) == 0)
        if (!SaveSiteOptions(files.SiteOptionsPath(), sites.Options()))
            throw ESettingsError("Cannot write " + files.SiteOptionsPath() + ": " + std::strerror(errno));
    SetAutoStart(ProductName, files.ProgramPath, s.AutoStart);
}

void TSettingsStore::Load(TSettings& settings, TSiteList& sites)
{
    try {
        LoadSettingsFrom(files_, settings, sites);
    } catch (const std::exception& e) {
        loadFailed_ = true;
        loadFailure_ = e.what();
        throw;
    }
    loadFailed_ = false;
    loadFailure_.clear();
}

void TSettingsStore::Save(const TSettings& settings, const TSiteList& sites)
{
    if (loadFailed_)
        throw ESettingsSaveRefused(SaveRefusedText());
    SaveSettingsTo(files_, settings, sites);
}

std::string KeyringProblemText(const TSettings& s)
{
    if (!s.Server.PasswordInKeyring || s.Server.KeyringProblem.empty())
        return {};
    return "the mail password is kept in the desktop's keyring, which could not be read (" + s.Server.KeyringProblem +
           ").\nRun vendrel-check inside your desktop session, where the keyring is unlocked, or keep the\n"
           "password in Settings.dat: set SMTPPasswordStore=File and the password as SMTPPassword in its\n"
           "[Server] section.";
}

std::string TSettingsStore::SaveRefusedText() const
{
    if (!loadFailed_)
        return {};
    return "Your settings were not saved: they could not be loaded, and saving now would overwrite them.\r\n\r\n" +
           loadFailure_ + "\r\n\r\nCorrect the file, then choose Cancel to load your settings again.";
}

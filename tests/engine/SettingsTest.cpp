#include "engine/Settings.h"

#include "delivery/MailServerSettings.h"
#include "engine/SiteList.h"
#include "platform/AutoStart.h"
#include "platform/IniFile.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string Pad(18, ' ');

struct SettingsFixture : ::testing::Test {
    TTempDataFolder tmp;
    TSettingsFiles files;
    TSiteList sites;
    SettingsFixture()
    {
        files.DataFolder = tmp.DataFolder();
        files.ProgramFolder = tmp.Root() + "prog/";
        files.ProgramPath = tmp.Root() + "prog/vendrel";
        WriteFile(files.SitesPath(), "a" + Pad + "{http://127.0.0.1/}-2\r\n");
    }
    void Settings(const std::string& text) { WriteFile(files.SettingsPath(), text); }
};

} // namespace

TEST_F(SettingsFixture, MissingFileGivesEveryDefault)
{
    TSettings s;
    s.Subject = "changed";
    s.OncePerDay = false;
    s.Sensitivity.ItemIndex = 0;
    LoadSettingsFrom(files, s, sites);
    EXPECT_EQ(s.Server.Host, "");
    EXPECT_EQ(s.Server.Port, 25);
    EXPECT_EQ(s.Server.TimeOutSeconds, 90);
    EXPECT_FALSE(s.Server.Logon);
    EXPECT_EQ(s.Subject, "Vendrel Delivery");
    EXPECT_TRUE(s.OncePerDay);
    EXPECT_EQ(s.CheckTime, (TTimeOfDay{7, 0, 0}));
    EXPECT_EQ(s.CheckFrequency, 1);
    EXPECT_EQ(s.CheckFrequencyScale, 1);
    EXPECT_EQ(ThresholdOfChoice(s.Sensitivity), 30);
    EXPECT_EQ(s.Sensitivity.ItemIndex, 4);
    EXPECT_TRUE(s.FlashIcon);
    EXPECT_FALSE(s.ShowDeliveredDates);
    EXPECT_TRUE(s.TrayIcon);
    EXPECT_TRUE(s.LoggingTabVisible);
    EXPECT_TRUE(s.ActiveNetConnection);
    EXPECT_TRUE(s.ConfirmClose);
    EXPECT_TRUE(s.MarkChanges) << "a first start shows what changed";
    EXPECT_EQ(sites.Count(), 1);
}

// Those who had the program before the setting keep their mail as it was;
// an empty or unreadable value is the same as none.
TEST_F(SettingsFixture, MarkChangesIsOffInAFileWithoutItAndReadsItsOwnWords)
{
    TSettings s;
    for (const auto& [text, expected] : std::vector<std::pair<std::string, bool>>{
             {"[Settings]\r\nDestEmail=me@example.org\r\n", false},
             {"", false},
             {"[Settings]\r\nMarkChanges=\r\n", false},
             {"[Settings]\r\nMarkChanges=1\r\n", false},
             {"[Settings]\r\nMarkChanges=yes\r\n", true},
             {"[Settings]\r\nMarkChanges=True\r\n", true}}) {
        Settings(text);
        s.MarkChanges = !expected;
        LoadSettingsFrom(files, s, sites);
        EXPECT_EQ(s.MarkChanges, expected) << text;
    }
}

TEST_F(SettingsFixture, BooleansReadOnlyTheirOwnWords)
{
    // "1" and "on" would read as true if any text but the listed words were
    // taken: the keys here default to false, so the default shows.
    Settings("[Settings]\r\nShowDeliveredDates=1\r\nFlashIcon=0\r\nTrayIcon=no\r\nConfirmClose=No\r\n"
             "ActiveNetConnection=FALSE\r\nLoggingTabVisible=off\r\nOncePerDay=false\r\n"
             "[Server]\r\nSMTPLogon=on\r\n");
    TSettings s;
    LoadSettingsFrom(files, s, sites);
    EXPECT_FALSE(s.ShowDeliveredDates) << "1 is not true: the default stays";
    EXPECT_FALSE(s.Server.Logon) << "on is not true: the default stays";
    EXPECT_FALSE(s.FlashIcon);
    EXPECT_FALSE(s.TrayIcon);
    EXPECT_FALSE(s.ConfirmClose);
    EXPECT_FALSE(s.ActiveNetConnection);
    EXPECT_TRUE(s.LoggingTabVisible) << "off is not false: the default stays";
    EXPECT_FALSE(s.OncePerDay);

    Settings("[Settings]\r\nShowDeliveredDates=-1\r\nFlashIcon=2\r\nOncePerDay=0\r\n[Server]\r\nSMTPLogon=Yes\r\n");
    TSettings t;
    LoadSettingsFrom(files, t, sites);
    EXPECT_TRUE(t.ShowDeliveredDates);
    EXPECT_TRUE(t.Server.Logon);
    EXPECT_TRUE(t.FlashIcon);
    EXPECT_FALSE(t.OncePerDay);
}

TEST_F(SettingsFixture, IntegersFallBackAndScaleOutOfRangeSelectsNone)
{
    Settings("[Server]\r\nSMTPPort=abc\r\nSMTPTimeOut=30\r\n[Settings]\r\nCheckFrequencyScale=7\r\n"
             "CheckFrequency=5000\r\nChangeDetectionValue=45\r\nSubject=\r\n");
    TSettings s;
    LoadSettingsFrom(files, s, sites);
    EXPECT_EQ(s.Server.PortText, "abc") << "a port that is no number is kept, never read as 25";
    EXPECT_EQ(s.Server.TimeOutSeconds, 30);
    EXPECT_EQ(s.CheckFrequencyScale, -1);
    EXPECT_EQ(s.CheckFrequency, 2400);
    EXPECT_EQ(s.Sensitivity.ItemIndex, 7);
    EXPECT_EQ(s.Sensitivity.CustomThreshold, 45);
    EXPECT_EQ(s.Subject, "Vendrel Delivery") << "an empty Subject reads as the default";
}

TEST_F(SettingsFixture, CheckTimeReadsBackAndUnparsableLeavesSeven)
{
    TTimeOfDay t;
    EXPECT_TRUE(ParseCheckTime(CheckTimeText({18, 45, 10}), t));
    EXPECT_EQ(t, (TTimeOfDay{18, 45, 10}));
    EXPECT_TRUE(ParseCheckTime("12/08/2026 6:30 PM", t));
    EXPECT_EQ(t, (TTimeOfDay{18, 30, 0}));

    Settings("[Settings]\r\nCheckTime=30.12.1899 sieben Uhr\r\n");
    TSettings s;
    LoadSettingsFrom(files, s, sites);
    EXPECT_EQ(s.CheckTime, (TTimeOfDay{7, 0, 0}));
}

TEST_F(SettingsFixture, SaveWritesEveryKeyInOrderAndReadsBack)
{
    // Every value differs from its default, so a key that is not written or
    // not read shows.
    TSettings s;
    s.Server = {"mail.test", "user", "secret", 2525, 45, true, ssStartTLS, "/etc/company-ca.pem", false, {}, {}, {}};
    s.SenderAddress = "sender@example.org";
    s.DestEmail = "me@example.org";
    s.Subject = "Page news";
    s.Sensitivity.ItemIndex = 6;
    s.OncePerDay = false;
    s.CheckTime = {18, 45, 10};
    s.CheckFrequency = 3;
    s.CheckFrequencyScale = 0;
    s.FlashIcon = false;
    s.ShowDeliveredDates = true;
    s.TrayIcon = false;
    s.LoggingTabVisible = false;
    s.ActiveNetConnection = false;
    s.ConfirmClose = false;
    s.MarkChanges = true;
    s.AutoStart = true;
    sites.Clear();
    sites.Add("b" + Pad + "{http://b}-2", true);
    sites.Add("a" + Pad + "{http://a}-1", false);
    SaveSettingsTo(files, s, sites);

    EXPECT_EQ(ReadFile(files.SettingsPath()),
              "[Server]\r\nSMTPServer=mail.test\r\nSMTPUsername=user\r\nSMTPPassword=secret\r\n"
              "SMTPPort=2525\r\nSMTPTimeOut=45\r\nSMTPLogon=True\r\nSMTPSecurity=STARTTLS\r\n"
              "SMTPCAFile=/etc/company-ca.pem\r\n[Settings]\r\n"
              "SenderAddress=sender@example.org\r\nDestEmail=me@example.org\r\nSubject=Page news\r\n"
              "ChangeDetectionValue=120\r\nOncePerDay=False\r\nCheckTime=" +
                  CheckTimeText({18, 45, 10}) +
                  "\r\nCheckFrequency=3\r\nCheckFrequencyScale=0\r\nFlashIcon=False\r\n"
                  "ShowDeliveredDates=True\r\nTrayIcon=False\r\nLoggingTabVisible=False\r\n"
                  "ActiveNetConnection=False\r\nConfirmClose=False\r\nMarkChanges=True\r\n");
    EXPECT_EQ(ReadFile(files.SitesPath()), "*a" + Pad + "{http://a}-1\r\nb" + Pad + "{http://b}-2\r\n");
    EXPECT_TRUE(IsAutoStart("Vendrel"));

    TSettings back;
    TSiteList backSites;
    LoadSettingsFrom(files, back, backSites);
    EXPECT_EQ(back.Server.Host, "mail.test");
    EXPECT_EQ(back.Server.Username, "user");
    EXPECT_EQ(back.Server.Password, "secret");
    EXPECT_EQ(back.Server.Port, 2525);
    EXPECT_EQ(back.Server.TimeOutSeconds, 45);
    EXPECT_TRUE(back.Server.Logon);
    EXPECT_EQ(back.Server.Security, ssStartTLS);
    EXPECT_EQ(back.Server.CAFile, "/etc/company-ca.pem");
    EXPECT_EQ(back.SenderAddress, "sender@example.org");
    EXPECT_EQ(back.DestEmail, "me@example.org");
    EXPECT_EQ(back.Subject, "Page news");
    EXPECT_EQ(ThresholdOfChoice(back.Sensitivity), 120);
    EXPECT_FALSE(back.OncePerDay);
    EXPECT_EQ(back.CheckTime, (TTimeOfDay{18, 45, 10}));
    EXPECT_EQ(back.CheckFrequency, 3);
    EXPECT_EQ(back.CheckFrequencyScale, 0);
    EXPECT_FALSE(back.FlashIcon);
    EXPECT_TRUE(back.ShowDeliveredDates);
    EXPECT_FALSE(back.TrayIcon);
    EXPECT_FALSE(back.LoggingTabVisible);
    EXPECT_FALSE(back.ActiveNetConnection);
    EXPECT_FALSE(back.ConfirmClose);
    EXPECT_TRUE(back.MarkChanges);
    EXPECT_TRUE(back.AutoStart);
    ASSERT_EQ(backSites.Count(), 2);
    EXPECT_FALSE(backSites.Checked(0));
    EXPECT_TRUE(backSites.Checked(1));
}

TEST_F(SettingsFixture, ANulByteIsAnOrdinaryByteInBothFiles)
{
    using namespace std::string_literals;
    Settings("[Server]\r\nSMTPServer=mail\0host\r\nSMTPPort=2525\r\n[Settings]\r\nDestEmail=me@example.org\r\n"s);
    const std::string list = "a" + Pad + "{http://a/\0}-2\r\nb"s + Pad + "{http://b}5\r\n*c" + Pad + "{http://c}-1\r\n"s;
    WriteFile(files.SitesPath(), list);
    TSettings s;
    LoadSettingsFrom(files, s, sites);
    EXPECT_EQ(s.Server.Host, "mail\0host"s);
    EXPECT_EQ(s.Server.Port, 2525);
    EXPECT_EQ(s.DestEmail, "me@example.org");
    ASSERT_EQ(sites.Count(), 3);
    EXPECT_EQ(SiteAddressOf(sites, 0), "http://a/\0"s);
    EXPECT_FALSE(sites.Checked(2));

    // One load-and-save cycle loses nothing.
    SaveSettingsTo(files, s, sites);
    EXPECT_EQ(ReadFile(files.SitesPath()), list);
    TSettings back;
    TSiteList backSites;
    LoadSettingsFrom(files, back, backSites);
    EXPECT_EQ(back.Server.Host, "mail\0host"s);
    EXPECT_EQ(back.Server.Port, 2525);
    EXPECT_EQ(back.DestEmail, "me@example.org");
    EXPECT_EQ(backSites.Count(), 3);
}

TEST_F(SettingsFixture, APortBeyondSixteenBitsIsKeptAsWritten)
{
    // The send refuses it with its reason; the load neither wraps nor drops it.
    Settings("[Server]\r\nSMTPPort=104673\r\n");
    TSettings s;
    LoadSettingsFrom(files, s, sites);
    EXPECT_EQ(s.Server.Port, 104673);
}

TEST_F(SettingsFixture, ConnectionSecurityReadsEveryChoiceAndFallsBackToAuto)
{
    const auto securityOf = [&](const std::string& file) {
        WriteFile(files.SettingsPath(), file);
        TSettings s;
        LoadSettingsFrom(files, s, sites);
        return s.Server.Security;
    };
    // A file from before the key existed gets the careful default.
    EXPECT_EQ(securityOf("[Server]\r\nSMTPPort=25\r\n"), ssAuto);
    EXPECT_EQ(securityOf("[Server]\r\nSMTPSecurity=None\r\n"), ssNone);
    EXPECT_EQ(securityOf("[Server]\r\nSMTPSecurity=ssl/tls\r\n"), ssImplicitTLS);
    EXPECT_EQ(securityOf("[Server]\r\nSMTPSecurity=STARTTLS\r\n"), ssStartTLS);
    EXPECT_EQ(securityOf("[Server]\r\nSMTPSecurity=Auto\r\n"), ssAuto);
    // An empty value is as good as a missing one.
    EXPECT_EQ(securityOf("[Server]\r\nSMTPSecurity=\r\n"), ssAuto);
}

TEST_F(SettingsFixture, ValuesThatNameNoPortOrSecurityAreKeptAndWrittenBackAsTheyWere)
{
    // An unknown word may have meant something stricter than Auto, and a
    // port spelled otherwise is not 25: both are kept for the send to refuse
    // and for the user to mend, and a save in between changes neither.
    Settings("[Server]\r\nSMTPServer=mail.test\r\nSMTPPort=0x9C4\r\nSMTPSecurity=TLS please\r\n"
             "SMTPTimeOut=0\r\n");
    TSettings s;
    LoadSettingsFrom(files, s, sites);
    EXPECT_EQ(s.Server.PortText, "0x9C4");
    EXPECT_EQ(s.Server.SecurityText, "TLS please");
    EXPECT_EQ(s.Server.Security, ssAuto) << "what the dialog shows until the user chooses";
    EXPECT_EQ(s.Server.TimeOutSeconds, 0) << "kept as written";
    EXPECT_EQ(EffectiveTimeOutSeconds(s.Server), 90);
    s.Server.TimeOutSeconds = -7;
    EXPECT_EQ(EffectiveTimeOutSeconds(s.Server), 90);
    s.Server.TimeOutSeconds = 0;
    SaveSettingsTo(files, s, sites);
    const TIniFile saved(files.SettingsPath());
    EXPECT_EQ(saved.ReadString("Server", "SMTPPort", ""), "0x9C4");
    EXPECT_EQ(saved.ReadString("Server", "SMTPSecurity", ""), "TLS please");

    // Chosen anew, they are ordinary values again.
    s.Server.PortText.reset();
    s.Server.SecurityText.reset();
    s.Server.Port = 2500;
    SaveSettingsTo(files, s, sites);
    TSettings back;
    LoadSettingsFrom(files, back, sites);
    EXPECT_EQ(back.Server.Port, 2500);
    EXPECT_FALSE(back.Server.PortText);
    EXPECT_FALSE(back.Server.SecurityText);
    EXPECT_EQ(back.Server.Security, ssAuto);

    // A whole decimal number from 1 to 65535 is a port, leading zeros and all.
    for (const auto& [text, port] : std::vector<std::pair<std::string, int>>{{"1", 1}, {"00025", 25}, {"65535", 65535}}) {
        Settings("[Server]\r\nSMTPPort=" + text + "\r\n");
        LoadSettingsFrom(files, back, sites);
        EXPECT_EQ(back.Server.Port, port) << text;
        EXPECT_FALSE(back.Server.PortText) << text;
    }
    for (const std::string text : {"65536", "0", "+25", " 2 5", "2525.0", "\"\"", "99999999999"}) {
        Settings("[Server]\r\nSMTPPort=" + text + "\r\n");
        LoadSettingsFrom(files, back, sites);
        EXPECT_TRUE(back.Server.PortText) << text;
    }
}

TEST_F(SettingsFixture, AByteOrderMarkIsReadPastAndNeverWritten)
{
    const std::string bom = "\xEF\xBB\xBF";
    Settings(bom + "[Server]\r\nSMTPServer=mail.test\r\n");
    WriteFile(files.SitesPath(), bom + "First" + Pad + "{http://a}5\r\n");
    TSettingsStore store(files);
    TSettings s;
    store.Load(s, sites);
    EXPECT_EQ(s.Server.Host, "mail.test");
    ASSERT_EQ(sites.Count(), 1);
    EXPECT_EQ(SiteNameOf(sites, 0), "First");
    EXPECT_EQ(SiteThresholdOf(sites, 0), 5);
    store.Save(s, sites);
    EXPECT_EQ(ReadFile(files.SettingsPath()).rfind("[Server]\r\nSMTPServer=mail.test\r\n", 0), 0u);
    EXPECT_EQ(ReadFile(files.SitesPath()), "First" + Pad + "{http://a}5\r\n");
}

TEST_F(SettingsFixture, SettingsFileIsPrivateToItsOwner)
{
    WriteFile(files.SettingsPath(), "[Server]\r\nSMTPPassword=old\r\n");
    chmod(files.SettingsPath().c_str(), 0644);
    SaveSettingsTo(files, TSettings{}, sites);
    struct stat st {};
    ASSERT_EQ(stat(files.SettingsPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsFixture, FirstStartSeedsFromSourceAndSwitchesAutoStartOn)
{
    std::remove(files.SitesPath().c_str());
    WriteFile(files.SourcePath(), "one" + Pad + "{http://127.0.0.1:1/}-2\r\n");
    TSettings s;
    LoadSettingsFrom(files, s, sites);
    EXPECT_TRUE(s.AutoStart);
    ASSERT_EQ(sites.Count(), 1);
    EXPECT_TRUE(sites.Checked(0));
    EXPECT_EQ(ReadFile(files.SitesPath()), "one" + Pad + "{http://127.0.0.1:1/}-2\r\n");
}

TEST_F(SettingsFixture, MissingSourceOnFirstStartFailsTheLoad)
{
    std::remove(files.SitesPath().c_str());
    TSettings s;
    Settings("[Server]\r\nSMTPServer=kept\r\n");
    EXPECT_THROW(LoadSettingsFrom(files, s, sites), ESettingsError);
    EXPECT_EQ(s.Server.Host, "kept") << "what was read before the failure stays";
}

TEST_F(SettingsFixture, FailedListSaveRaisesErAfterTheKeys)
{
    // A folder where "Sites.dat" should be makes the list unwritable.
    std::remove(files.SitesPath().c_str());
    std::filesystem::create_directories(files.SitesPath());
    TSettings s;
    s.DestEmail = "x@y.z";
    try {
        SaveSettingsTo(files, s, sites);
        FAIL() << "no error";
    } catch (const ESettingsError& e) {
        EXPECT_STREQ(e.what(), "Er");
    }
    EXPECT_EQ(TIniFile(files.SettingsPath()).ReadString("Settings", "DestEmail", ""), "x@y.z");
}

TEST_F(SettingsFixture, UnwritableStartUpEntryRaisesTheRegistryText)
{
    WriteFile(tmp.ConfigHome() + "autostart", "blocker");
    TSettings s;
    s.AutoStart = true;
    try {
        SaveSettingsTo(files, s, sites);
        FAIL() << "no error";
    } catch (const EAutoStartError& e) {
        EXPECT_STREQ(e.what(), "Error encountered saving registry");
    }
    EXPECT_TRUE(FileExists(files.SitesPath()));
}

TEST_F(SettingsFixture, SettingsThatCannotBeReadFailTheLoad)
{
    // A folder in the file's place cannot be read as a file, also for root.
    std::filesystem::create_directories(files.SettingsPath());
    TSettings s;
    EXPECT_THROW(LoadSettingsFrom(files, s, sites), ESettingsError);
}

// A file that exists but cannot be read, also for root: a link to itself.
void MakeUnreadable(const std::string& path)
{
    std::remove(path.c_str());
    ASSERT_EQ(symlink(path.c_str(), path.c_str()), 0);
}

bool IsLink(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

TEST_F(SettingsFixture, AFailedLoadRefusesEverySaveUntilALoadSucceeds)
{
    const std::string list = "a" + Pad + "{http://a}-2\r\nb" + Pad + "{http://b}-2\r\n";
    WriteFile(files.SitesPath(), list);
    MakeUnreadable(files.SettingsPath());
    TSettingsStore store(files);
    TSettings s;
    EXPECT_FALSE(store.LoadFailed());
    EXPECT_EQ(store.SaveRefusedText(), "");
    EXPECT_THROW(store.Load(s, sites), ESettingsError);
    ASSERT_TRUE(store.LoadFailed());
    EXPECT_NE(store.LoadFailure().find("Settings.dat"), std::string::npos) << store.LoadFailure();
    try {
        store.Save(s, sites);
        FAIL() << "the save went ahead";
    } catch (const ESettingsSaveRefused& e) {
        EXPECT_EQ(e.what(), store.SaveRefusedText());
        EXPECT_EQ(std::string(e.what()).rfind("Your settings were not saved", 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find(store.LoadFailure()), std::string::npos) << e.what();
    }
    EXPECT_TRUE(IsLink(files.SettingsPath())) << "the unreadable settings were replaced";
    EXPECT_EQ(ReadFile(files.SitesPath()), list) << "the site list that was never read was replaced";

    // Mended, a load succeeds and saving is allowed again.
    std::remove(files.SettingsPath().c_str());
    Settings("[Server]\r\nSMTPServer=mail.test\r\n");
    store.Load(s, sites);
    EXPECT_FALSE(store.LoadFailed());
    EXPECT_EQ(store.SaveRefusedText(), "");
    EXPECT_EQ(sites.Count(), 2);
    store.Save(s, sites);
    EXPECT_EQ(TIniFile(files.SettingsPath()).ReadString("Server", "SMTPServer", ""), "mail.test");
}

TEST_F(SettingsFixture, AnUnreadableSiteListIsNeverSavedOver)
{
    Settings("[Server]\r\nSMTPServer=mail.test\r\nSMTPPassword=secret\r\n");
    MakeUnreadable(files.SitesPath());
    TSettingsStore store(files);
    TSettings s;
    EXPECT_THROW(store.Load(s, sites), ESettingsError);
    EXPECT_TRUE(store.LoadFailed());
    EXPECT_NE(store.LoadFailure().find("Sites.dat"), std::string::npos) << store.LoadFailure();
    EXPECT_EQ(sites.Count(), 0);
    EXPECT_THROW(store.Save(s, sites), ESettingsSaveRefused);
    EXPECT_TRUE(IsLink(files.SitesPath()));
    EXPECT_EQ(ReadFile(files.SettingsPath()), "[Server]\r\nSMTPServer=mail.test\r\nSMTPPassword=secret\r\n");
}

TEST_F(SettingsFixture, TheUserAgentKeyIsReadAndASaveKeepsItAsWritten)
{
    Settings("[Settings]\r\nUserAgent=  Mozilla/5.0 (compatible; PageWatch/3.0)  \r\n");
    TSettings s;
    LoadSettingsFrom(files, s, sites);
    EXPECT_EQ(s.UserAgent, "Mozilla/5.0 (compatible; PageWatch/3.0)");
    // No control edits it: a save, even of another value, leaves the key alone.
    s.UserAgent.clear();
    SaveSettingsTo(files, s, sites);
    EXPECT_NE(ReadFile(files.SettingsPath()).find("UserAgent=  Mozilla/5.0 (compatible; PageWatch/3.0)  \r\n"),
              std::string::npos);
    TSettings fresh;
    Settings("[Settings]\r\n");
    LoadSettingsFrom(files, fresh, sites);
    EXPECT_EQ(fresh.UserAgent, "");
}

#include "engine/Settings.h"

#include "engine/SiteList.h"
#include "platform/AutoStart.h"
#include "platform/IniFile.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>

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
    EXPECT_EQ(sites.Count(), 1);
}

TEST_F(SettingsFixture, BooleansReadOnlyTheirOwnWords)
{
    Settings("[Settings]\r\nFlashIcon=1\r\nTrayIcon=off\r\nConfirmClose=no\r\nShowDeliveredDates=-1\r\n"
             "ActiveNetConnection=FALSE\r\nLoggingTabVisible=0\r\nOncePerDay=yes\r\n[Server]\r\nSMTPLogon=TRUE\r\n");
    TSettings s;
    LoadSettingsFrom(files, s, sites);
    EXPECT_TRUE(s.FlashIcon) << "1 is not true: the default stays";
    EXPECT_TRUE(s.TrayIcon);
    EXPECT_FALSE(s.ConfirmClose);
    EXPECT_TRUE(s.ShowDeliveredDates);
    EXPECT_FALSE(s.ActiveNetConnection);
    EXPECT_FALSE(s.LoggingTabVisible);
    EXPECT_TRUE(s.OncePerDay);
    EXPECT_TRUE(s.Server.Logon);
}

TEST_F(SettingsFixture, IntegersFallBackAndScaleOutOfRangeSelectsNone)
{
    Settings("[Server]\r\nSMTPPort=abc\r\nSMTPTimeOut=30\r\n[Settings]\r\nCheckFrequencyScale=7\r\n"
             "CheckFrequency=5000\r\nChangeDetectionValue=45\r\nSubject=\r\n");
    TSettings s;
    LoadSettingsFrom(files, s, sites);
    EXPECT_EQ(s.Server.Port, 25);
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
    TSettings s;
    s.Server = {"mail.test", "user", "secret", 2525, 45, true, ssStartTLS, "/etc/company-ca.pem"};
    s.DestEmail = "me@example.org";
    s.Sensitivity.ItemIndex = 6;
    s.OncePerDay = false;
    s.CheckFrequency = 3;
    s.CheckFrequencyScale = 0;
    s.AutoStart = true;
    sites.Clear();
    sites.Add("b" + Pad + "{http://b}-2", true);
    sites.Add("a" + Pad + "{http://a}-1", false);
    SaveSettingsTo(files, s, sites);

    const std::string text = ReadFile(files.SettingsPath());
    EXPECT_EQ(text.rfind("[Server]\r\nSMTPServer=mail.test\r\nSMTPUsername=user\r\nSMTPPassword=secret\r\n"
                         "SMTPPort=2525\r\nSMTPTimeOut=45\r\nSMTPLogon=True\r\nSMTPSecurity=STARTTLS\r\n"
                         "SMTPCAFile=/etc/company-ca.pem\r\n[Settings]\r\nSenderAddress=\r\n"
                         "DestEmail=me@example.org\r\nSubject=Vendrel Delivery\r\nChangeDetectionValue=120\r\n"
                         "OncePerDay=False\r\nCheckTime=",
                         0),
              0u)
        << text;
    EXPECT_EQ(ReadFile(files.SitesPath()), "*a" + Pad + "{http://a}-1\r\nb" + Pad + "{http://b}-2\r\n");
    EXPECT_TRUE(IsAutoStart("Vendrel"));

    TSettings back;
    TSiteList backSites;
    LoadSettingsFrom(files, back, backSites);
    EXPECT_EQ(back.Server.Host, "mail.test");
    EXPECT_EQ(back.Server.Port, 2525);
    EXPECT_TRUE(back.Server.Logon);
    EXPECT_EQ(back.Server.Security, ssStartTLS);
    EXPECT_EQ(back.Server.CAFile, "/etc/company-ca.pem");
    EXPECT_EQ(ThresholdOfChoice(back.Sensitivity), 120);
    EXPECT_FALSE(back.OncePerDay);
    EXPECT_EQ(back.CheckFrequency, 3);
    EXPECT_EQ(back.CheckFrequencyScale, 0);
    EXPECT_TRUE(back.AutoStart);
    EXPECT_EQ(backSites.Count(), 2);
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
    // An unknown word must never quietly turn TLS off.
    EXPECT_EQ(securityOf("[Server]\r\nSMTPSecurity=TLS please\r\n"), ssAuto);
    EXPECT_EQ(securityOf("[Server]\r\nSMTPSecurity=\r\n"), ssAuto);
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

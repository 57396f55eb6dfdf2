#include "platform/IniFile.h"

#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

TEST(IniFile, MissingFileReadsAsEveryKeyMissing)
{
    TTempDataFolder tmp;
    const TIniFile ini(tmp.Root() + "none.ini");
    EXPECT_FALSE(ini.Value("Server", "SMTPServer"));
    EXPECT_EQ(ini.ReadString("Server", "SMTPPort", "25"), "25");
}

TEST(IniFile, ReadsWithoutRegardToCaseAndTrimsValues)
{
    TTempDataFolder tmp;
    const std::string path = tmp.Root() + "a.ini";
    WriteFile(path, "; comment\r\n[server]\r\n  smtpserver =  mail.example.org  \r\nQuoted=\" padded \"\r\n[Other]\r\nSMTPServer=wrong\r\n");
    const TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("SERVER", "SMTPServer", "?"), "mail.example.org");
    EXPECT_EQ(ini.ReadString("Server", "quoted", "?"), " padded ");
    EXPECT_EQ(ini.ReadString("Settings", "SMTPServer", "?"), "?");
}

TEST(IniFile, WritingUpdatesInPlaceAndKeepsEverythingElse)
{
    TTempDataFolder tmp;
    const std::string path = tmp.Root() + "a.ini";
    WriteFile(path, "; keep me\r\n[Server]\r\nSMTPServer=old\r\n; between\r\nSMTPPort=25\r\n\r\n[Settings]\r\nSubject=x\r\n");
    TIniFile ini(path);
    ASSERT_TRUE(ini.WriteString("server", "smtpserver", "new"));
    ASSERT_TRUE(ini.WriteString("Server", "SMTPLogon", "True"));
    ASSERT_TRUE(ini.WriteString("Extra", "Key", "v"));
    EXPECT_EQ(ReadFile(path),
              "; keep me\r\n[Server]\r\nsmtpserver=new\r\n; between\r\nSMTPPort=25\r\nSMTPLogon=True\r\n\r\n"
              "[Settings]\r\nSubject=x\r\n[Extra]\r\nKey=v\r\n");
    EXPECT_EQ(TIniFile(path).ReadString("Server", "SMTPServer", ""), "new");
}

TEST(IniFile, NewFileStartsWithTheFirstSectionWritten)
{
    TTempDataFolder tmp;
    const std::string path = tmp.Root() + "new.ini";
    TIniFile ini(path, 0600);
    ASSERT_TRUE(ini.WriteString("Server", "SMTPServer", "h"));
    ASSERT_TRUE(ini.WriteString("Settings", "DestEmail", "a@b.c"));
    EXPECT_EQ(ReadFile(path), "[Server]\r\nSMTPServer=h\r\n[Settings]\r\nDestEmail=a@b.c\r\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(IniFile, ValueWithLineBreakCannotAddAKey)
{
    TTempDataFolder tmp;
    const std::string path = tmp.Root() + "a.ini";
    TIniFile ini(path);
    ASSERT_TRUE(ini.WriteString("Server", "SMTPServer", "h\r\nSMTPPassword=stolen"));
    EXPECT_FALSE(TIniFile(path).Value("Server", "SMTPPassword"));
}

TEST(IniFile, FailedWriteReportsFalseAndKeepsMemoryState)
{
    TTempDataFolder tmp;
    TIniFile ini(tmp.Root() + "missing-folder/a.ini");
    EXPECT_FALSE(ini.WriteString("Server", "SMTPServer", "h"));
    EXPECT_FALSE(ini.Value("Server", "SMTPServer"));
}

// The mail password in the desktop's keyring: a real Secret Service
// (gnome-keyring) on a private session bus, started by with_keyring.sh, and
// the real vendrel-check logging in to the test's mail server with it.

#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "platform/Keyring.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/MailServer.h"
#include "tests/support/TempDataFolder.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace {

const std::string Pad(18, ' ');

// The password as another program reads it from the keyring.
std::string SecretToolLookup(const std::string& server, const std::string& user)
{
    return RunCommand({"secret-tool", "lookup", "server", server, "user", user}, 20000).Out;
}

struct Keyring : ::testing::Test {
    TTempDataFolder tmp;
    TLoopbackHttpServer http;

    TSettingsFiles Files() const
    {
        TSettingsFiles files{tmp.DataFolder(), tmp.Root(), tmp.Root() + "vendrel", &SystemKeyring()};
        return files;
    }
    std::string SettingsText() const { return ReadFile(tmp.DataFolder() + "Settings.dat"); }
    void WriteSettings(int port, const std::string& server)
    {
        WriteFile(tmp.DataFolder() + "Settings.dat",
                  "[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=" + std::to_string(port) +
                      "\r\nSMTPUsername=vendrel\r\nSMTPLogon=True\r\nSMTPSecurity=None\r\n" + server +
                      "[Settings]\r\nDestEmail=me@example.org\r\nActiveNetConnection=False\r\n");
        http.SetPage("/a", "<html><body><p>a</p></body></html>\r\n");
        WriteFile(tmp.DataFolder() + "Sites.dat", "A" + Pad + "{" + http.Url("/a") + "}-1\r\n");
    }
    TSettings Load()
    {
        TSettings s;
        TSiteList sites;
        LoadSettingsFrom(Files(), s, sites);
        return s;
    }
    void Save(const TSettings& s)
    {
        TSiteList sites;
        LoadSiteList(sites, tmp.DataFolder() + "Sites.dat");
        SaveSettingsTo(Files(), s, sites);
    }
    static TCommandResult Check() { return RunCommand({VENDREL_CHECK}); }
};

// Without a session bus there is no keyring, whatever is installed.
struct NoSessionBus {
    std::string saved;
    NoSessionBus()
    {
        if (const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            saved = a;
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    ~NoSessionBus() { setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1); }
};

} // namespace

TEST_F(Keyring, PasswordMovesFromTheFileIntoTheKeyringAndTheCheckLogsInWithIt)
{
    ASSERT_TRUE(SystemKeyring().Available()) << "with_keyring.sh starts a Secret Service";
    TMailServer mail(tmp.Root() + "mail");
    WriteSettings(mail.Port(), "SMTPPassword=secret\r\n");

    TSettings s = Load();
    EXPECT_EQ(s.Server.Password, "secret");
    EXPECT_FALSE(s.Server.PasswordInKeyring);
    Save(s);

    const std::string text = SettingsText();
    EXPECT_EQ(text.find("secret"), std::string::npos) << text;
    EXPECT_NE(text.find("SMTPPassword=\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("SMTPPasswordStore=Keyring\r\n"), std::string::npos) << text;
    EXPECT_EQ(SecretToolLookup("127.0.0.1", "vendrel"), "secret");

    const TSettings again = Load();
    EXPECT_TRUE(again.Server.PasswordInKeyring);
    EXPECT_EQ(again.Server.Password, "secret");
    EXPECT_EQ(again.Server.KeyringProblem, "");

    const auto pass = Check();
    EXPECT_EQ(pass.ExitStatus, 0) << pass.Out << pass.Err;
    EXPECT_EQ(mail.Messages().size(), 1u);
}

TEST_F(Keyring, WithoutAKeyringThePasswordStaysInThePrivateFile)
{
    NoSessionBus noBus;
    EXPECT_FALSE(SystemKeyring().Available());
    TMailServer mail(tmp.Root() + "mail");
    WriteSettings(mail.Port(), "SMTPPassword=secret\r\n");
    const std::string before = SettingsText();

    Save(Load());
    // Nothing about a keyring appears in a file that never used one.
    EXPECT_EQ(SettingsText().find("SMTPPasswordStore"), std::string::npos);
    EXPECT_NE(SettingsText().find("SMTPPassword=secret\r\n"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat((tmp.DataFolder() + "Settings.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const auto pass = Check();
    EXPECT_EQ(pass.ExitStatus, 0) << pass.Out << pass.Err;
}

TEST_F(Keyring, APasswordInAKeyringThatCannotBeReachedStopsTheCheckAndIsNotLost)
{
    TMailServer mail(tmp.Root() + "mail");
    WriteSettings(mail.Port(), "SMTPPassword=secret\r\n");
    Save(Load());
    ASSERT_EQ(SecretToolLookup("127.0.0.1", "vendrel"), "secret");

    NoSessionBus noBus;
    const TSettings s = Load();
    EXPECT_TRUE(s.Server.PasswordInKeyring);
    EXPECT_EQ(s.Server.Password, "");
    EXPECT_NE(s.Server.KeyringProblem, "");

    const auto pass = Check();
    EXPECT_EQ(pass.ExitStatus, 2) << pass.Out << pass.Err;
    EXPECT_NE(pass.Err.find("keyring"), std::string::npos) << pass.Err;
    EXPECT_NE(pass.Err.find("inside your desktop session"), std::string::npos) << pass.Err;
    EXPECT_NE(pass.Err.find("SMTPPasswordStore=File"), std::string::npos) << pass.Err;
    EXPECT_TRUE(mail.Messages().empty());

    // A save while the keyring is away keeps pointing at it, with no empty
    // password taking its place.
    Save(s);
    EXPECT_NE(SettingsText().find("SMTPPasswordStore=Keyring\r\n"), std::string::npos);
}

TEST_F(Keyring, AMissingOrLockedItemIsNamedAndTheCheckStops)
{
    TMailServer mail(tmp.Root() + "mail");
    WriteSettings(mail.Port(), "SMTPPassword=\r\nSMTPPasswordStore=Keyring\r\n");
    RunCommand({"secret-tool", "clear", "server", "127.0.0.1", "user", "vendrel"}, 20000);

    const TSettings missing = Load();
    EXPECT_NE(missing.Server.KeyringProblem.find("holds no Vendrel password for vendrel at 127.0.0.1"),
              std::string::npos)
        << missing.Server.KeyringProblem;
    auto pass = Check();
    EXPECT_EQ(pass.ExitStatus, 2) << pass.Out << pass.Err;

    SystemKeyring().Store("127.0.0.1", "vendrel", "secret");
    const auto locked = RunCommand({"gdbus", "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
                                    "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.Lock",
                                    "['/org/freedesktop/secrets/collection/login']"},
                                   20000);
    ASSERT_EQ(locked.ExitStatus, 0) << locked.Err;
    const TSettings s = Load();
    EXPECT_EQ(s.Server.Password, "");
    EXPECT_NE(s.Server.KeyringProblem.find("locked"), std::string::npos) << s.Server.KeyringProblem;
    pass = Check();
    EXPECT_EQ(pass.ExitStatus, 2) << pass.Out << pass.Err;
    EXPECT_NE(pass.Err.find("locked"), std::string::npos) << pass.Err;
    EXPECT_TRUE(mail.Messages().empty());
}

#include "engine/SiteList.h"
#include "platform/FolderLock.h"
#include "tests/support/MailServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/TempDataFolder.h"
#include "tests/support/TestCertificates.h"

#include <filesystem>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string Pad(18, ' ');

struct CheckCommand : ::testing::Test {
    TTempDataFolder tmp;
    TLoopbackHttpServer http;

    void Settings(const std::string& settings) { WriteFile(tmp.DataFolder() + "Settings.dat", settings); }
    void Sites(const std::string& sites) { WriteFile(tmp.DataFolder() + "Sites.dat", sites); }
    std::string Site(const std::string& name, const std::string& path, int threshold = -2)
    {
        return name + Pad + "{" + http.Url(path) + "}" + std::to_string(threshold) + "\r\n";
    }
    static std::string ServerSettings(int port, const std::string& extra = "")
    {
        return "[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=" + std::to_string(port) +
               "\r\n[Settings]\r\nDestEmail=me@example.org\r\nActiveNetConnection=False\r\n" + extra;
    }
    TCommandResult Run(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), VENDREL_CHECK);
        return RunCommand(args);
    }
};

} // namespace

TEST_F(CheckCommand, PassPrintsTheLogAndExitsZeroWithoutTouchingTheFiles)
{
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    http.SetPage("/a", "<html><body><p>a</p></body></html>\r\n");
    Settings(ServerSettings(mail.Port()));
    Sites(Site("A", "/a") + "*" + Site("B", "/b"));
    const std::string settingsBefore = ReadFile(tmp.DataFolder() + "Settings.dat");
    const std::string sitesBefore = ReadFile(tmp.DataFolder() + "Sites.dat");

    const auto first = Run();
    EXPECT_EQ(first.ExitStatus, 0) << first.Err;
    EXPECT_NE(first.Out.find(" A processed, Delivering\n"), std::string::npos) << first.Out;
    const auto second = Run();
    EXPECT_EQ(second.ExitStatus, 0) << second.Err;
    EXPECT_NE(second.Out.find(" A unchanged (0), Skipping\n"), std::string::npos) << second.Out;
    EXPECT_EQ(mail.Messages().size(), 1u);
    EXPECT_EQ(ReadFile(tmp.DataFolder() + "Settings.dat"), settingsBefore);
    EXPECT_EQ(ReadFile(tmp.DataFolder() + "Sites.dat"), sitesBefore);

    const auto send = Run({"--send", "A"});
    EXPECT_EQ(send.ExitStatus, 0) << send.Err;
    EXPECT_NE(send.Out.find(" A processed, Delivering\n"), std::string::npos) << "a send delivers whatever changed";
    EXPECT_EQ(mail.Messages().size(), 2u);
}

TEST_F(CheckCommand, DeliversOverStartTLSAndImplicitTLS)
{
    const TTestCertificates& certificates = TestCertificates();
    http.SetPage("/a", "<html><body><p>a</p></body></html>\r\n");
    Sites(Site("A", "/a", -1));
    const std::string login = "SMTPLogon=True\r\nSMTPUsername=vendrel\r\nSMTPPassword=secret\r\n";
    for (const std::string mode : {"STARTTLS", "SSL/TLS"}) {
        TMailServer mail(tmp.Root() + (mode == "STARTTLS" ? "mail-starttls" : "mail-implicit"),
                         {mode == "STARTTLS" ? "--require-starttls" : "--implicit-tls", "--cert",
                          certificates.CertFile, "--key", certificates.KeyFile});
        Settings("[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=" + std::to_string(mail.Port()) + "\r\n" + login
                 + "SMTPSecurity=" + mode + "\r\nSMTPCAFile=" + certificates.CAFile
                 + "\r\n[Settings]\r\nDestEmail=me@example.org\r\nActiveNetConnection=False\r\n");
        const auto r = Run();
        EXPECT_EQ(r.ExitStatus, 0) << mode << "\n" << r.Out << r.Err;
        EXPECT_NE(r.Out.find(" A processed, Delivering\n"), std::string::npos) << r.Out;
        ASSERT_EQ(mail.Messages().size(), 1u) << mode;
        const std::string envelope = ReadFile(mail.Folder() + "/0001.json");
        EXPECT_NE(envelope.find("\"tls\": true"), std::string::npos) << envelope;
        EXPECT_NE(envelope.find("\"authenticated\": true"), std::string::npos) << envelope;
    }
}

TEST_F(CheckCommand, FailedSiteExitsOne)
{
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    Settings(ServerSettings(mail.Port()));
    Sites("Closed" + Pad + "{http://127.0.0.1:1/}-2\r\n");
    const auto r = Run();
    EXPECT_EQ(r.ExitStatus, 1);
    EXPECT_NE(r.Out.find(" Error processing Closed: Site Download Error\n"), std::string::npos) << r.Out;
}

TEST_F(CheckCommand, CannotStartExitsTwoWithAClearMessage)
{
    Sites(Site("A", "/a"));
    Settings("[Server]\r\nSMTPServer=127.0.0.1\r\n[Settings]\r\nDestEmail=nobody\r\n");
    auto r = Run();
    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_NE(r.Err.find("destination e-mail address"), std::string::npos) << r.Err;

    Settings("[Settings]\r\nDestEmail=me@example.org\r\n");
    r = Run();
    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_NE(r.Err.find("SMTP server"), std::string::npos) << r.Err;

    Settings(ServerSettings(1));
    std::filesystem::remove(tmp.DataFolder() + "Sites.dat");
    std::filesystem::create_directories(tmp.DataFolder() + "Sites.dat");
    r = Run();
    EXPECT_EQ(r.ExitStatus, 2) << "an unreadable site list";
    EXPECT_NE(r.Err.find("cannot read the settings"), std::string::npos) << r.Err;

    std::filesystem::remove(tmp.DataFolder() + "Sites.dat");
    Sites(Site("A", "/a"));
    r = Run({"--send", "Nobody"});
    EXPECT_EQ(r.ExitStatus, 2);
}

TEST_F(CheckCommand, WithoutASiteListItRefusesAndWritesNothing)
{
    // A first start of the tray program seeds the list and switches its
    // start-up option on; the command must leave that to it.
    Settings(ServerSettings(1));
    const auto r = Run();
    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_NE(r.Err.find("there is no site list " + tmp.DataFolder() + "Sites.dat"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("{http://www.example.com/}-2"), std::string::npos) << r.Err;
    EXPECT_FALSE(FileExists(tmp.DataFolder() + "Sites.dat"));
    EXPECT_FALSE(FileExists(tmp.ConfigHome() + "autostart"));
}

TEST_F(CheckCommand, APortBeyondSixteenBitsIsASettingsError)
{
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    http.SetPage("/a", "<html><body><p>a</p></body></html>\r\n");
    // Cut to 16 bits this is the listening server's port.
    Settings(ServerSettings(mail.Port() + 65536));
    Sites(Site("A", "/a"));
    const auto r = Run();
    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_NE(r.Err.find("port " + std::to_string(mail.Port() + 65536) + " (SMTPPort) is not between 1 and 65535"),
              std::string::npos)
        << r.Err;
    EXPECT_TRUE(mail.Messages().empty());
    EXPECT_EQ(http.Requests(), 0);
}

TEST_F(CheckCommand, AnotherPassOnTheSameFolderExitsTwo)
{
    Settings(ServerSettings(1));
    Sites(Site("A", "/a"));
    TFolderLock tray;
    ASSERT_TRUE(tray.TryLock(tmp.DataFolder()));
    const auto r = Run();
    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_NE(r.Err.find("another Vendrel"), std::string::npos) << r.Err;
    EXPECT_EQ(http.Requests(), 0);
}

TEST_F(CheckCommand, AnUnusableLockFileExitsTwoSayingWhatFailed)
{
    Settings(ServerSettings(1));
    Sites(Site("A", "/a"));
    std::filesystem::create_directories(tmp.DataFolder() + TFolderLock::FileName);
    auto r = Run();
    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_NE(r.Err.find("cannot check the sites of " + tmp.DataFolder() + ": cannot open the lock file "),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(r.Err.find("another Vendrel"), std::string::npos) << r.Err;
    r = Run({"--send", "A"});
    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_NE(r.Err.find("cannot open the lock file"), std::string::npos) << r.Err;
    EXPECT_EQ(http.Requests(), 0);
}

TEST_F(CheckCommand, NoConnectionExitsThree)
{
    // A network namespace of our own has no interface but a loopback that is down.
    if (RunCommand({"unshare", "-n", "true"}).ExitStatus != 0)
        GTEST_SKIP() << "cannot make a network namespace here";
    Settings("[Server]\r\nSMTPServer=127.0.0.1\r\n[Settings]\r\nDestEmail=me@example.org\r\nActiveNetConnection=True\r\n");
    Sites(Site("A", "/a"));
    const auto r = RunCommand({"unshare", "-n", VENDREL_CHECK});
    EXPECT_EQ(r.ExitStatus, 3) << r.Err;
}

TEST_F(CheckCommand, HelpAndVersion)
{
    auto r = Run({"--help"});
    EXPECT_EQ(r.ExitStatus, 0);
    EXPECT_NE(r.Out.find("--send NAME"), std::string::npos);
    r = Run({"--version"});
    EXPECT_EQ(r.ExitStatus, 0);
    EXPECT_EQ(r.Out.rfind("vendrel-check ", 0), 0u);
    r = Run({"--bogus"});
    EXPECT_EQ(r.ExitStatus, 2);
}

// The command reads "MarkChanges" as the tray program does: off in a file
// without it, on when it says so.
TEST_F(CheckCommand, ReadsWhetherToShowWhatChanged)
{
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    http.SetPage("/a", "<html><body><p>a</p></body></html>\r\n");
    Sites(Site("A", "/a", -1));
    Settings(ServerSettings(mail.Port()));
    EXPECT_EQ(Run().ExitStatus, 0);
    Settings(ServerSettings(mail.Port(), "MarkChanges=True\r\n"));
    http.SetPage("/a", "<html><body><p>b</p></body></html>\r\n");
    EXPECT_EQ(Run().ExitStatus, 0);
    auto messages = mail.Messages();
    ASSERT_EQ(messages.size(), 2u);
    for (auto at = messages[1].find("=\r\n"); at != std::string::npos; at = messages[1].find("=\r\n", at))
        messages[1].erase(at, 3);
    EXPECT_EQ(messages[0].find("Vendrel: "), std::string::npos);
    EXPECT_NE(messages[1].find("Vendrel: 1 change on A since "), std::string::npos);
    EXPECT_NE(messages[1].find("<mark style=3D\"background:#fff3a0\">b</mark>"), std::string::npos);
}

TEST_F(CheckCommand, HostileServerValuesAreSettingsErrorsNeverPort25OrAuto)
{
    // A sink on this port would take mail that a quietly read 25 or Auto let through.
    TSmtpSink sink;
    http.SetPage("/a", "<html><body><p>a</p></body></html>\r\n");
    Sites(Site("A", "/a", -1));
    const std::string rest = "\r\n[Settings]\r\nDestEmail=me@example.org\r\nActiveNetConnection=False\r\n";
    for (const std::string port : {"4294967321", "99999999999", "2525.0", "0x9C4", "$9C4", "", "-25", "0", "65536"}) {
        Settings("[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=" + port + rest);
        const auto r = Run();
        EXPECT_EQ(r.ExitStatus, 2) << port << "\n" << r.Out << r.Err;
        const std::string shown = port.empty() ? "\"\"" : port;
        EXPECT_NE(r.Err.find("The mail server's port " + shown + " (SMTPPort) is not between 1 and 65535."),
                  std::string::npos)
            << port << ": " << r.Err;
    }
    // Leading zeros still spell a whole decimal number.
    Settings("[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=0" + std::to_string(sink.Port()) + rest);
    auto r = Run();
    EXPECT_EQ(r.ExitStatus, 0) << r.Out << r.Err;
    EXPECT_EQ(sink.Messages(), 1);

    for (const std::string security : {"TLS please", "SSL", "starttls-if-you-like"}) {
        Settings("[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=" + std::to_string(sink.Port()) +
                 "\r\nSMTPSecurity=" + security + rest);
        r = Run();
        EXPECT_EQ(r.ExitStatus, 2) << security << "\n" << r.Out << r.Err;
        EXPECT_NE(r.Err.find("\"" + security + "\" (SMTPSecurity)"), std::string::npos) << r.Err;
    }
    EXPECT_EQ(sink.Messages(), 1) << "no refused setting reached the server";
    EXPECT_EQ(http.Requests(), 1);
}

TEST_F(CheckCommand, ADataFolderThatCannotBeMadeIsNeverReplacedByTheTemporaryFolder)
{
    // Another local user's planted files in the shared temporary folder.
    const std::string shared = tmp.Root() + "shared-tmp/";
    WriteFile(shared + "Sites.dat", Site("Planted", "/planted", -1));
    WriteFile(shared + "Settings.dat", ServerSettings(1));
    http.SetPage("/planted", "<html><body>theirs</body></html>");
    // A file where the data home should be.
    const std::string blocker = tmp.Root() + "not-a-folder";
    WriteFile(blocker, "in the way");
    const std::string oldData = std::getenv("XDG_DATA_HOME");
    setenv("XDG_DATA_HOME", blocker.c_str(), 1);
    setenv("TMPDIR", shared.c_str(), 1);
    const auto r = Run();
    setenv("XDG_DATA_HOME", oldData.c_str(), 1);
    unsetenv("TMPDIR");
    EXPECT_EQ(r.ExitStatus, 2) << r.Out << r.Err;
    EXPECT_NE(r.Err.find("cannot make its data folder " + blocker + "/Quorvan/Vendrel/"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("cannot make the folder " + blocker + "/: a file of that name is in the way"),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(http.Requests(), 0) << "a site of the planted list was fetched";
}

TEST_F(CheckCommand, SettingsFilesThatAreNoRegularFilesOrTooLargeAreRefused)
{
    http.SetPage("/a", "<html><body><p>a</p></body></html>\r\n");
    const std::string settings = tmp.DataFolder() + "Settings.dat";
    const std::string sites = tmp.DataFolder() + "Sites.dat";
    const auto expectRefused = [&](const std::string& what, const std::string& reason) {
        // Reading a FIFO or /dev/zero would never end: the time-out catches it.
        const auto r = RunCommand({VENDREL_CHECK}, 20000);
        EXPECT_EQ(r.ExitStatus, 2) << what << "\n" << r.Err;
        EXPECT_NE(r.Err.find(reason), std::string::npos) << what << ": " << r.Err;
    };
    const auto reset = [&] {
        std::filesystem::remove(settings);
        std::filesystem::remove(sites);
        Settings(ServerSettings(1));
        Sites(Site("A", "/a"));
    };

    for (const std::string& path : {settings, sites}) {
        reset();
        std::filesystem::remove(path);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        expectRefused("a FIFO", path + " is not a regular file");
        reset();
        std::filesystem::remove(path);
        std::filesystem::create_symlink("/dev/zero", path);
        expectRefused("a link to /dev/zero", path + " is not a regular file");
    }

    // Sizes: the largest file read is fine, one byte more is refused. The
    // site list is sparse, so its 64 MiB cost no disk.
    reset();
    std::string big = ServerSettings(1);
    big += ";" + std::string((std::size_t{1} << 20) - big.size() - 3, 'x') + "\r\n";
    ASSERT_EQ(big.size(), std::size_t{1} << 20);
    Settings(big);
    auto r = RunCommand({VENDREL_CHECK}, 20000);
    EXPECT_EQ(r.ExitStatus, 1) << "exactly 1 MiB is read; the site then fails to send\n" << r.Err;
    const int fetched = http.Requests();
    Settings(big + ";");
    expectRefused("1 MiB and a byte", settings + " is larger than 1 MiB");
    reset();
    std::filesystem::resize_file(sites, (std::size_t{64} << 20) + 1);
    expectRefused("64 MiB and a byte", sites + " is larger than 64 MiB");
    EXPECT_EQ(http.Requests(), fetched);
}

TEST_F(CheckCommand, AByteOrderMarkIsSkippedInBothFiles)
{
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    http.SetPage("/a", "<html><body><p>a</p></body></html>\r\n");
    const std::string bom = "\xEF\xBB\xBF";
    // Left in, the mark hides the "[Server]" section and joins the first name.
    Settings(bom + ServerSettings(mail.Port()));
    Sites(bom + Site("A", "/a"));
    const auto r = Run();
    EXPECT_EQ(r.ExitStatus, 0) << r.Out << r.Err;
    EXPECT_NE(r.Out.find(" A processed, Delivering\n"), std::string::npos) << r.Out;
    ASSERT_EQ(mail.Messages().size(), 1u);
    EXPECT_EQ(mail.Messages()[0].find(bom), std::string::npos) << "the mark reached the subject";
}

TEST_F(CheckCommand, ALaterSiteOfTheSameNameIsLoggedAndNeverFetched)
{
    TMailServer mail(tmp.Root() + "mail", {"--no-auth"});
    http.SetPage("/first", "<html><body><p>first</p></body></html>\r\n");
    http.SetPage("/second", "<html><body><p>second</p></body></html>\r\n");
    http.SetPage("/other", "<html><body><p>other</p></body></html>\r\n");
    Settings(ServerSettings(mail.Port()));
    // Sorted by the whole entry, the "/first" one comes first.
    Sites(Site("Dup", "/second") + Site("Dup", "/first") + Site("Other", "/other") + "*" + Site("Other", "/x"));
    const auto r = Run();
    EXPECT_EQ(r.ExitStatus, 0) << r.Out << r.Err;
    const std::string line = " Site Dup appears more than once in Sites.dat; only the first is checked\n";
    const auto at = r.Out.find(line);
    ASSERT_NE(at, std::string::npos) << r.Out;
    EXPECT_EQ(r.Out.find(line, at + 1), std::string::npos) << "logged once per later site";
    EXPECT_EQ(r.Out.find("Site Other appears"), std::string::npos) << "an unticked later site is not checked anyway";
    EXPECT_EQ(http.Requests(), 2);
    ASSERT_EQ(mail.Messages().size(), 2u);
    const std::string both = mail.Messages()[0] + mail.Messages()[1];
    EXPECT_NE(both.find("first"), std::string::npos);
    EXPECT_EQ(both.find("second"), std::string::npos);
}

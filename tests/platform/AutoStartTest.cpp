#include "platform/AutoStart.h"

#include "platform/IniFile.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

TEST(AutoStart, EntryHoldsTheQuotedProgramAndStartSwitch)
{
    TTempDataFolder tmp;
    EXPECT_FALSE(IsAutoStart("Vendrel"));
    SetAutoStart("Vendrel", "/opt/vendrel/bin/vendrel", true);
    const std::string path = tmp.ConfigHome() + "autostart/Vendrel.desktop";
    ASSERT_EQ(AutoStartEntryPath("Vendrel"), path);
    EXPECT_EQ(TIniFile(path).ReadString("Desktop Entry", "Exec", ""), "\"/opt/vendrel/bin/vendrel\" /start");
    EXPECT_TRUE(IsAutoStart("Vendrel"));

    SetAutoStart("Vendrel", "/opt/vendrel/bin/vendrel", false);
    EXPECT_FALSE(IsAutoStart("Vendrel"));
    EXPECT_NO_THROW(SetAutoStart("Vendrel", "/x", false)) << "a missing entry is no error";
}

TEST(AutoStart, EmptyCommandCountsAsOff)
{
    TTempDataFolder tmp;
    WriteFile(tmp.ConfigHome() + "autostart/Vendrel.desktop", "[Desktop Entry]\nExec=\n");
    EXPECT_FALSE(IsAutoStart("Vendrel"));
}

TEST(AutoStart, BlockedFolderRaisesTheRegistryText)
{
    TTempDataFolder tmp;
    // A file where the folder should be blocks it, also for root.
    WriteFile(tmp.ConfigHome() + "autostart", "not a folder");
    EXPECT_THROW(SetAutoStart("Vendrel", "/x", true), EAutoStartError);
}

TEST(AutoStart, CommandSurvivesTheEntrysThreeLevelsOfEscaping)
{
    EXPECT_EQ(AutoStartCommand("/opt/a$b\\c%d\"e`f g/vendrel"),
              "\"/opt/a\\\\$b\\\\\\\\c%%d\\\\\"e\\\\`f g/vendrel\" /start");
    // A line break must not end the entry's line.
    EXPECT_EQ(AutoStartCommand("/x\ny"), "\"/x\\ny\" /start");
}

// The desktop's own launcher reads the entry back: it must start exactly the
// program with "/start". (GLib refuses entries whose program path holds a
// percent sign before it expands "%%", so that one is covered above only.)
TEST(AutoStart, TheDesktopsLauncherStartsTheProgramFromTheEntry)
{
    TTempDataFolder tmp(TDesktopHome::Pointed);
    const std::string folder = tmp.Root() + "odd $HOME \\n \\\\ \"q\" `id` & more/";
    const std::string program = folder + "vendrel";
    const std::string record = tmp.Root() + "argv.txt";
    WriteFile(program, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + record + "'\n");
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    SetAutoStart("Vendrel", program, true);

    const TCommandResult launch = RunCommand({"gio", "launch", AutoStartEntryPath("Vendrel")}, 20000);
    ASSERT_EQ(launch.ExitStatus, 0) << launch.Err;
    for (int i = 0; i < 100 && !FileExists(record); ++i)
        usleep(50000);
    usleep(100000);
    EXPECT_EQ(ReadFile(record), program + "\n/start\n");
}

TEST(AutoStart, AnEntryTheDesktopTurnedOffCountsAsOff)
{
    TTempDataFolder tmp(TDesktopHome::Pointed);
    const std::string path = tmp.ConfigHome() + "autostart/Vendrel.desktop";
    const std::string head = "[Desktop Entry]\nType=Application\nExec=\"/x\" /start\n";
    WriteFile(path, head + "Hidden=true\n");
    EXPECT_FALSE(IsAutoStart("Vendrel"));
    WriteFile(path, head + "X-GNOME-Autostart-enabled=false\n");
    EXPECT_FALSE(IsAutoStart("Vendrel"));
    WriteFile(path, head + "Hidden=false\nX-GNOME-Autostart-enabled=true\n");
    EXPECT_TRUE(IsAutoStart("Vendrel"));
}

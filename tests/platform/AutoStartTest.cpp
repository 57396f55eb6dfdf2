#include "platform/AutoStart.h"

#include "platform/IniFile.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

TEST(AutoStart, EntryHoldsTheQuotedProgramAndStartSwitch)
{
    TTempDataFolder tmp{TDesktopHome::Pointed};
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
    TTempDataFolder tmp{TDesktopHome::Pointed};
    WriteFile(tmp.ConfigHome() + "autostart/Vendrel.desktop", "[Desktop Entry]\nExec=\n");
    EXPECT_FALSE(IsAutoStart("Vendrel"));
}

TEST(AutoStart, BlockedFolderRaisesTheRegistryText)
{
    TTempDataFolder tmp{TDesktopHome::Pointed};
    // A file where the folder should be blocks it, also for root.
    WriteFile(tmp.ConfigHome() + "autostart", "not a folder");
    EXPECT_THROW(SetAutoStart("Vendrel", "/x", true), EAutoStartError);
}

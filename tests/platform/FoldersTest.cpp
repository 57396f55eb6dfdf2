#include "platform/Folders.h"

#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

TEST(ProgramShareFolder, BuildTreeKeepsTheFilesBesideTheProgram)
{
    TTempDataFolder tmp;
    const std::string build = tmp.Root() + "build/";
    fs::create_directories(build);
    WriteFile(build + "Source.dat", "");
    // Even with an installed tree above it, the files beside the program win.
    fs::create_directories(tmp.Root() + "share/vendrel");
    EXPECT_EQ(ProgramShareFolderOf(build), build);
}

TEST(ProgramShareFolder, InstalledProgramUsesShareVendrel)
{
    TTempDataFolder tmp;
    const std::string bin = tmp.Root() + "usr/bin/";
    fs::create_directories(bin);
    fs::create_directories(tmp.Root() + "usr/share/vendrel");
    EXPECT_EQ(ProgramShareFolderOf(bin), tmp.Root() + "usr/share/vendrel/");
}

TEST(ProgramShareFolder, NeitherLayoutFallsBackToTheProgramFolder)
{
    TTempDataFolder tmp;
    const std::string lone = tmp.Root() + "somewhere/";
    fs::create_directories(lone);
    EXPECT_EQ(ProgramShareFolderOf(lone), lone);
    // The running test program sits in a build tree without Source.dat.
    EXPECT_EQ(ProgramShareFolder(), ProgramFolder());
}

#include "engine/DataFolder.h"

#include "tests/support/TempDataFolder.h"

#include <cstdlib>
#include <gtest/gtest.h>

TEST(DataFolder, LivesBelowTheUserDataHomeAndIsCreated)
{
    TTempDataFolder tmp;
    EXPECT_EQ(DataFolder(), tmp.DataFolder());
    EXPECT_TRUE(FileExists(tmp.DataFolder()));
}

TEST(DataFolder, FallsBackToTheTemporaryFolderWhenItCannotBeMade)
{
    TTempDataFolder tmp;
    // A file where the maker's folder should be blocks its creation.
    WriteFile(tmp.Root() + "data/Quorvan", "blocker");
    setenv("TMPDIR", (tmp.Root() + "tmp").c_str(), 1);
    EXPECT_EQ(DataFolder(), tmp.Root() + "tmp/");
    unsetenv("TMPDIR");
}


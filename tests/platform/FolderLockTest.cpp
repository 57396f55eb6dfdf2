#include "platform/FolderLock.h"

#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>
#include <unistd.h>

TEST(FolderLock, OneHolderAtATimeAndBusyIsNoError)
{
    TTempDataFolder tmp;
    TFolderLock first;
    TFolderLock second;
    ASSERT_TRUE(first.TryLock(tmp.Root()));
    EXPECT_FALSE(second.TryLock(tmp.Root()));
    EXPECT_EQ(second.LastError(), "") << "another holder is no failure of the lock file";
    first.Unlock();
    EXPECT_TRUE(second.TryLock(tmp.Root()));
}

TEST(FolderLock, ALinkInTheLockFilesPlaceIsNotFollowed)
{
    TTempDataFolder tmp;
    const std::string target = tmp.Root() + "elsewhere/victim";
    WriteFile(tmp.Root() + "elsewhere/keep", "");
    ASSERT_EQ(symlink(target.c_str(), (tmp.Root() + TFolderLock::FileName).c_str()), 0);
    TFolderLock lock;
    EXPECT_FALSE(lock.TryLock(tmp.Root()));
    EXPECT_FALSE(FileExists(target)) << "the open followed the link and created its target";
    EXPECT_NE(lock.LastError().find("symbolic link"), std::string::npos) << lock.LastError();
}

TEST(FolderLock, ALockFileThatCannotBeMadeSaysWhy)
{
    TTempDataFolder tmp;
    // A file where the folder should be, so that also root cannot create it.
    WriteFile(tmp.Root() + "notafolder", "");
    TFolderLock lock;
    EXPECT_FALSE(lock.TryLock(tmp.Root() + "notafolder"));
    EXPECT_NE(lock.LastError().find("cannot open the lock file " + tmp.Root() + "notafolder/.vendrel.lock: "),
              std::string::npos)
        << lock.LastError();
}

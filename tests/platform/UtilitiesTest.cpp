#include "platform/Utilities.h"

#include "tests/support/ManualClock.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// Sets an environment variable for one test and puts the old value back.
class TScopedEnv {
public:
    TScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        setenv(name, value, 1);
    }
    ~TScopedEnv()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace

TEST(ForceFolder, CreatesNestedFoldersAndReportsExisting)
{
    TTempDataFolder temp;
    EXPECT_TRUE(ForceFolder(temp.Root()));
    EXPECT_TRUE(ForceFolder("/"));
    const std::string nested = temp.Root() + "one/two/three";
    EXPECT_TRUE(ForceFolder(nested));
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_TRUE(ForceFolder(temp.Root() + "four/five/"));
    EXPECT_TRUE(fs::is_directory(temp.Root() + "four/five"));
}

TEST(ForceFolder, RefusesShortPathsAndImpossibleFolders)
{
    EXPECT_FALSE(ForceFolder(""));
    EXPECT_FALSE(ForceFolder("zq9"));
    EXPECT_FALSE(fs::exists("zq9"));

    TTempDataFolder temp;
    const std::string file = temp.Root() + "plain";
    WriteFile(file, "x");
    EXPECT_FALSE(ForceFolder(file));   // a file stands where the folder would be
    EXPECT_FALSE(ForceFolder(file + "/below/deeper"));
    EXPECT_FALSE(ForceFolder("/proc/vendrel-cannot-be-here"));
}

TEST(HasInvalidFileChars, RefusesTheNineCharacters)
{
    EXPECT_FALSE(HasInvalidFileChars(""));
    EXPECT_FALSE(HasInvalidFileChars(" "));
    EXPECT_FALSE(HasInvalidFileChars("News (daily), v1.2 - 50% & more!"));
    for (const char c : std::string("\\/:*?\"<>|")) {
        EXPECT_TRUE(HasInvalidFileChars(std::string("ab") + c)) << c;
        EXPECT_TRUE(HasInvalidFileChars(std::string(1, c) + "ab")) << c;
    }
}

TEST(FileDateOf, GivesModificationTimeOrEpoch)
{
    EXPECT_EQ(FileDateOf("/nonexistent/vendrel/file.html"), TDateTime{});

    TTempDataFolder temp;
    const std::string file = temp.Root() + "page.html";
    WriteFile(file, "<html>");
    const timespec times[2] = {{1700000000, 0}, {1700000000, 500000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    EXPECT_EQ(FileDateOf(file),
              std::chrono::system_clock::from_time_t(1700000000) + std::chrono::milliseconds(500));
}

TEST(DateTimeText, ShortDateBlankShortTime)
{
    const TDateTime value = LocalDateTime(2024, 3, 5, 14, 7, 9);
    {
        TScopedEnv locale("LC_ALL", "C");
        EXPECT_EQ(DateTimeText(value), "03/05/24 14:07");
    }
    // A locale the system does not have falls back to the C forms.
    TScopedEnv locale("LC_ALL", "xx_NOWHERE.UTF-8");
    EXPECT_EQ(DateTimeText(value), "03/05/24 14:07");
}

TEST(ShortTimeFormat, DropsSecondsKeepsTheRest)
{
    EXPECT_EQ(ShortTimeFormat("%H:%M:%S", ""), "%H:%M");
    EXPECT_EQ(ShortTimeFormat("%T", ""), "%H:%M");
    EXPECT_EQ(ShortTimeFormat("%H.%M.%S", ""), "%H.%M");
    EXPECT_EQ(ShortTimeFormat("%OH:%OM:%OS", ""), "%OH:%OM");
    EXPECT_EQ(ShortTimeFormat("%r", "%I:%M:%S %p"), "%I:%M %p");
    EXPECT_EQ(ShortTimeFormat("%r", ""), "%I:%M %p");
    EXPECT_EQ(ShortTimeFormat("%p %I:%M:%S", ""), "%p %I:%M");
    EXPECT_EQ(ShortTimeFormat("%Hh%Mm%Ss", ""), "%Hh%Mm");
    EXPECT_EQ(ShortTimeFormat("%H時%M分%S秒", ""), "%H時%M分");
    EXPECT_EQ(ShortTimeFormat("%H:%M", ""), "%H:%M");
    EXPECT_EQ(ShortTimeFormat("%H:%M:%S %%S", ""), "%H:%M %%S");
}

TEST(WindowsVersionCode, ClassifiesByFamilyAndVersion)
{
    using F = TWindowsFamily;
    EXPECT_EQ(WindowsVersionCodeOf(F::Win9x, 4, 0), 0);
    EXPECT_EQ(WindowsVersionCodeOf(F::Win9x, 4, 10), 1);
    EXPECT_EQ(WindowsVersionCodeOf(F::Win9x, 4, 89), 1);
    EXPECT_EQ(WindowsVersionCodeOf(F::Win9x, 4, 90), 2);
    EXPECT_EQ(WindowsVersionCodeOf(F::Win9x, 4, 91), 8);
    EXPECT_EQ(WindowsVersionCodeOf(F::Win9x, 5, 0), 8);
    EXPECT_EQ(WindowsVersionCodeOf(F::WinNT, 4, 0), 3);
    EXPECT_EQ(WindowsVersionCodeOf(F::WinNT, 5, 0), 4);
    EXPECT_EQ(WindowsVersionCodeOf(F::WinNT, 5, 1), 5);
    EXPECT_EQ(WindowsVersionCodeOf(F::WinNT, 5, 2), 8);
    EXPECT_EQ(WindowsVersionCodeOf(F::WinNT, 6, 0), 6);
    EXPECT_EQ(WindowsVersionCodeOf(F::WinNT, 6, 1), 7);
    EXPECT_EQ(WindowsVersionCodeOf(F::WinNT, 6, 2), 8);
    EXPECT_EQ(WindowsVersionCodeOf(F::Other, 4, 0), 8);
    EXPECT_EQ(GetWindowsVersionCode(), 8);
}

#include "platform/AtomicFile.h"

#include "tests/support/TempDataFolder.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

namespace {
// A save of content to path by a process killed between writing its
// temporary file and the rename; true when the process died that way.
bool SaveKilledBeforeTheRename(const std::string& path, std::size_t bytes)
{
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        SetAtomicWriteProbe([](const std::string&) {
            raise(SIGKILL);
            return true;
        });
        WriteFileAtomic(path, std::string(bytes, 'x'));
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

int CountFiles(const std::string& folder)
{
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder))
        ++n;
    return n;
}
} // namespace

TEST(AtomicFile, InterruptedSaveLeavesThePreviousFileWhole)
{
    TTempDataFolder tmp;
    const std::string path = tmp.Root() + "Sites.dat";
    WriteFile(path, "old list\r\n");
    SetAtomicWriteProbe([](const std::string&) { return false; });
    EXPECT_FALSE(WriteFileAtomic(path, "new list\r\n"));
    SetAtomicWriteProbe(nullptr);
    EXPECT_EQ(ReadFile(path), "old list\r\n");
    EXPECT_EQ(CountFiles(tmp.Root()), 3) << "data, config and the list: no temporary file left";
}

TEST(AtomicFile, ProcessKilledMidSaveLeavesThePreviousFileWhole)
{
    TTempDataFolder tmp;
    const std::string path = tmp.Root() + "Settings.dat";
    WriteFile(path, "[Server]\r\nSMTPServer=h\r\n");
    ASSERT_TRUE(SaveKilledBeforeTheRename(path, 1 << 20));
    EXPECT_EQ(ReadFile(path), "[Server]\r\nSMTPServer=h\r\n");
}

TEST(AtomicFile, LeftoversOfKilledSavesAreRemovedAndNothingElse)
{
    TTempDataFolder tmp;
    const std::string folder = tmp.Root() + "HTML/";
    const std::string path = folder + "News.html";
    WriteFile(path, "old page\r\n");
    for (int kill = 0; kill < 2; ++kill)
        ASSERT_TRUE(SaveKilledBeforeTheRename(path, 1 << 16));
    ASSERT_EQ(CountFiles(folder), 3) << "the page and two temporary files";
    // Names that only look alike stay, and so does a link.
    for (const char* keep : {"a.tmp-12345", "a.tmp-1234567", "a.tmp-12_456", ".tmp-123456x", "tmp-123456"})
        WriteFile(folder + keep, "keep");
    std::filesystem::create_directory(folder + "d.tmp-ABCdef");
    ASSERT_EQ(symlink(path.c_str(), (folder + "l.tmp-ABCdef").c_str()), 0);

    // Another file's temporary file stays when only pages are meant.
    WriteFile(folder + "Settings.dat.tmp-Ab12Cd", "");
    EXPECT_EQ(RemoveAtomicWriteLeftovers(folder, ".html"), 2);
    EXPECT_EQ(CountFiles(folder), 9);
    EXPECT_EQ(RemoveAtomicWriteLeftovers(folder), 1);
    EXPECT_EQ(CountFiles(folder), 8);
    EXPECT_EQ(ReadFile(path), "old page\r\n");
    EXPECT_EQ(RemoveAtomicWriteLeftovers(folder), 0);
    EXPECT_EQ(RemoveAtomicWriteLeftovers(tmp.Root() + "none/"), 0);
}

TEST(AtomicFile, KeepsTheModeOfTheFileItReplaces)
{
    TTempDataFolder tmp;
    const std::string path = tmp.Root() + "page.html";
    WriteFile(path, "a");
    chmod(path.c_str(), 0640);
    ASSERT_TRUE(WriteFileAtomic(path, "b"));
    struct stat st {};
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(ReadFile(path), "b");
    ASSERT_TRUE(WriteFileAtomic(path, "c", 0600));
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(AtomicFile, MissingFolderFails)
{
    TTempDataFolder tmp;
    EXPECT_FALSE(WriteFileAtomic(tmp.Root() + "no/such/file", "x"));
    EXPECT_FALSE(ReadWholeFile(tmp.Root() + "no/such/file"));
}

// Saves whose flush waits for the end of a pass: each is in place at once,
// an interrupted one is never flushed, and the flush reports what it could
// not reach while a file removed since is no failure.
TEST(AtomicFile, DeferredSavesAreInPlaceAtOnceAndFlushedTogether)
{
    TTempDataFolder tmp;
    const std::string folder = tmp.Root() + "HTML/";
    std::filesystem::create_directory(folder);
    TDeferredSync later;
    WriteFile(folder + "a.html", "old a");
    chmod((folder + "a.html").c_str(), 0640);
    ASSERT_TRUE(WriteFileAtomic(folder + "a.html", "new a", std::nullopt, &later));
    ASSERT_TRUE(WriteFileAtomic(folder + "b.html", "new b", std::nullopt, &later));
    EXPECT_EQ(ReadFile(folder + "a.html"), "new a");
    EXPECT_EQ(ReadFile(folder + "b.html"), "new b");
    struct stat st {};
    stat((folder + "a.html").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(CountFiles(folder), 2) << "no temporary file left";

    SetAtomicWriteProbe([](const std::string&) { return false; });
    EXPECT_FALSE(WriteFileAtomic(folder + "a.html", "lost a", std::nullopt, &later));
    SetAtomicWriteProbe(nullptr);
    EXPECT_EQ(ReadFile(folder + "a.html"), "new a");

    std::filesystem::remove(folder + "b.html");
    std::string failed = "untouched";
    EXPECT_TRUE(later.Flush(&failed));
    EXPECT_EQ(failed, "untouched");
    EXPECT_TRUE(later.Empty());

    // A folder replaced by a file under a save: its page cannot be reached.
    const std::string gone = tmp.Root() + "Gone/";
    std::filesystem::create_directory(gone);
    ASSERT_TRUE(WriteFileAtomic(gone + "c.html", "c", std::nullopt, &later));
    ASSERT_TRUE(WriteFileAtomic(folder + "d.html", "d", std::nullopt, &later));
    std::filesystem::remove_all(gone);
    WriteFile(tmp.Root() + "Gone", "a file now");
    EXPECT_FALSE(later.Flush(&failed));
    EXPECT_EQ(failed, gone + "c.html");
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_TRUE(later.Empty());
    EXPECT_EQ(ReadFile(folder + "d.html"), "d");
}

// The size the folder gives is only a hint: files the system makes up as
// they are read say 0, and every byte is read whatever the size said.
TEST(AtomicFile, ReadWholeFileReadsEveryByteWhateverItsSizeSays)
{
    TTempDataFolder tmp;
    std::string large(300 * 1024, 'x');
    for (std::size_t i = 0; i < large.size(); i += 997)
        large[i] = static_cast<char>(i % 256);
    WriteFile(tmp.Root() + "large.html", large);
    EXPECT_EQ(ReadWholeFile(tmp.Root() + "large.html"), large);
    WriteFile(tmp.Root() + "empty.html", "");
    EXPECT_EQ(ReadWholeFile(tmp.Root() + "empty.html"), std::string());
    const auto status = ReadWholeFile("/proc/self/status");
    ASSERT_TRUE(status);
    EXPECT_NE(status->find("Name:"), std::string::npos);
    EXPECT_EQ(status->back(), '\n');
}

// The user's own files are read to a limit, without waiting and only when
// they are regular files; the limit holds also where the size says nothing.
TEST(AtomicFile, ReadOwnFileKeepsToItsLimitAndToRegularFiles)
{
    TTempDataFolder tmp;
    const std::string path = tmp.Root() + "Settings.dat";
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4096}, std::size_t{4097}}) {
        WriteFile(path, std::string(size, 'k'));
        std::string failure;
        EXPECT_EQ(ReadOwnFile(path, 4096, &failure), size <= 4096 ? std::optional(std::string(size, 'k')) : std::nullopt)
            << size;
        EXPECT_EQ(failure, size <= 4096 ? "" : path + " is larger than 4096 bytes, more than Vendrel reads from it");
    }
    // Files the system makes up say they are empty; they are still cut off.
    std::string failure;
    EXPECT_FALSE(ReadOwnFile("/proc/self/status", 16, &failure));
    EXPECT_EQ(failure, "/proc/self/status is larger than 16 bytes, more than Vendrel reads from it");
    EXPECT_TRUE(ReadOwnFile("/proc/self/status", 1 << 20));

    // Only a whole mark at the very start goes.
    const std::string bom = "\xEF\xBB\xBF";
    for (const auto& [written, read] : std::vector<std::pair<std::string, std::string>>{
             {bom + "[Server]", "[Server]"}, {bom, ""}, {bom + bom, bom}, {"\xEF\xBB[x]", "\xEF\xBB[x]"},
             {"a" + bom, "a" + bom}}) {
        WriteFile(path, written);
        EXPECT_EQ(ReadOwnFile(path, 4096), read);
    }

    errno = 0;
    EXPECT_FALSE(ReadOwnFile(tmp.Root() + "missing", 4096, &failure));
    EXPECT_EQ(errno, ENOENT);
    std::filesystem::create_directories(tmp.Root() + "folder");
    ASSERT_EQ(mkfifo((tmp.Root() + "fifo").c_str(), 0600), 0);
    for (const std::string& other : {tmp.Root() + "fifo", std::string("/dev/zero"), tmp.Root() + "folder"}) {
        EXPECT_FALSE(ReadOwnFile(other, 4096, &failure)) << other;
        EXPECT_EQ(failure, other + " is not a regular file");
    }
}

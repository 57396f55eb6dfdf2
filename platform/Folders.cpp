#include "platform/Folders.h"

#include "platform/Text.h"

#include <cstdlib>
#include <filesystem>
#include <limits.h>
#include <pwd.h>
#include <unistd.h>

namespace {

std::optional<std::string> Home()
{
    if (const char* h = std::getenv("HOME"); h && *h)
        return std::string(h);
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir)
        return std::string(pw->pw_dir);
    return std::nullopt;
}

// The base-directory rules ignore a relative value.
std::optional<std::string> XdgFolder(const char* variable, const char* fallbackBelowHome)
{
    if (const char* v = std::getenv(variable); v && v[0] == '/')
        return std::string(v);
    if (auto home = Home())
        return *home + fallbackBelowHome;
    return std::nullopt;
}

std::string WithSlash(std::string path)
{
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

} // namespace

std::optional<std::string> UserDataHome()
{
    return XdgFolder("XDG_DATA_HOME", "/.local/share");
}

std::optional<std::string> UserConfigHome()
{
    return XdgFolder("XDG_CONFIG_HOME", "/.config");
}

std::string ProgramPath()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string ProgramFolder()
{
    const std::string path = ProgramPath();
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string ProgramShareFolderOf(const std::string& programFolder)
{
    std::error_code ec;
    if (std::filesystem::exists(programFolder + "Source.dat", ec))
        return programFolder;
    const std::filesystem::path installed =
        (std::filesystem::path(programFolder) / "../share/vendrel/").lexically_normal();
    if (std::filesystem::is_directory(installed, ec))
        return WithSlash(installed.string());
    return programFolder;
}

std::string ProgramShareFolder()
{
    return ProgramShareFolderOf(ProgramFolder());
}

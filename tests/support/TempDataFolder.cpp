#include "tests/support/TempDataFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TTempDataFolder::TTempDataFolder(TDesktopHome home) : pointed_(home == TDesktopHome::Pointed)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "vendrel-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    root_ = pattern + "/";
    std::filesystem::create_directories(root_ + "data");
    std::filesystem::create_directories(root_ + "config");
    if (!pointed_)
        return;
    if (const char* v = std::getenv("XDG_DATA_HOME")) {
        hadData_ = true;
        oldData_ = v;
    }
    if (const char* v = std::getenv("XDG_CONFIG_HOME")) {
        hadConfig_ = true;
        oldConfig_ = v;
    }
    setenv("XDG_DATA_HOME", (root_ + "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ + "config").c_str(), 1);
}

namespace {
void Restore(const char* variable, bool had, const std::string& old)
{
    if (had)
        setenv(variable, old.c_str(), 1);
    else
        unsetenv(variable);
}
} // namespace

TTempDataFolder::~TTempDataFolder()
{
    if (pointed_) {
        Restore("XDG_DATA_HOME", hadData_, oldData_);
        Restore("XDG_CONFIG_HOME", hadConfig_, oldConfig_);
    }
    std::error_code ec;
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(root_, ec);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string& path)
{
    return std::filesystem::exists(path);
}

#include "platform/Utilities.h"
#include <filesystem>
bool ForceFolder(const std::string& path)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return true;
    if (path.size() <= 3)
        return false;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}
#include <ctime>
std::string DateTimeText(TDateTime value)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(value);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%x %H:%M", &tm);
    return buf;
}

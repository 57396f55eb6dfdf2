#include "engine/SiteChecks.h"

#include "platform/AtomicFile.h"
#include "platform/Text.h"

#include <cerrno>
#include <charconv>
#include <cstdio>

std::string SiteChecksPath(const std::string& pageFolder, const std::string& name)
{
    return pageFolder + name + ".checks";
}

std::string SiteChecksText(const TSiteChecks& checks)
{
    std::string text = "Failures=" + std::to_string(checks.Failures) + "\r\n";
    if (checks.LastGood) {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(checks.LastGood->time_since_epoch()).count();
        text += "LastGood=" + std::to_string(seconds) + "\r\n";
    }
    return text;
}

TSiteChecks ParseSiteChecks(const std::string& text)
{
    TSiteChecks checks;
    for (const std::string& line : SplitLines(text)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        long long number = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (error != std::errc() || end != value.data() + value.size() || value.empty())
            continue;
        if (SameText(key, "Failures") && number > 0 && number < 1000000)
            checks.Failures = static_cast<int>(number);
        else if (SameText(key, "LastGood") && number > 0 && number < (std::int64_t{1} << 40))
            checks.LastGood = TDateTime{} + std::chrono::seconds(number);
    }
    return checks;
}

TSiteChecks ReadSiteChecks(const std::string& path)
{
    const auto text = ReadWholeFile(path);
    return text ? ParseSiteChecks(*text) : TSiteChecks{};
}

bool WriteSiteChecks(const std::string& path, const TSiteChecks& checks)
{
    // Written in place and not flushed: it is rewritten at every check, and
    // one lost or torn only delays a notice.
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const std::string text = SiteChecksText(checks);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const int writeError = errno;
    if (std::fclose(file) != 0 || !written) {
        if (!written)
            errno = writeError;
        return false;
    }
    return true;
}

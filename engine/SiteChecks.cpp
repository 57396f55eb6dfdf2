#include "engine/SiteChecks.h"

#include "platform/AtomicFile.h"
#include "platform/Text.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>

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

namespace {

std::optional<TDateTime> ModifiedAt(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return TDateTime{} + std::chrono::duration_cast<TDateTime::duration>(std::chrono::seconds(st.st_mtim.tv_sec) +
                                                                         std::chrono::nanoseconds(st.st_mtim.tv_nsec));
}

bool SetModifiedAt(const std::string& path, TDateTime when)
{
    const auto since = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds.count());
    times[0].tv_nsec = times[1].tv_nsec =
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

} // namespace

TSiteChecks ReadSiteChecks(const std::string& path)
{
    const auto text = ReadWholeFile(path);
    if (!text)
        return {};
    TSiteChecks checks = ParseSiteChecks(*text);
    if (checks.Failures == 0)
        if (const auto modified = ModifiedAt(path); modified && (!checks.LastGood || *modified > *checks.LastGood))
            checks.LastGood = *modified;
    return checks;
}

bool NoteGoodCheck(const std::string& path, TDateTime when)
{
    const auto text = ReadWholeFile(path);
    return text && ParseSiteChecks(*text).Failures == 0 && SetModifiedAt(path, when);
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
    // A record of no failures keeps its last good check in its time too.
    if (checks.Failures == 0 && checks.LastGood)
        SetModifiedAt(path, *checks.LastGood);
    return true;
}

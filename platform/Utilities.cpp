#include "platform/Utilities.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <time.h>
#include <vector>

namespace fs = std::filesystem;

bool ForceFolder(const std::string& path)
{
    std::error_code ec;
    if (fs::is_directory(path, ec))
        return true;
    // A bare root or drive is either there or not ours to make.
    if (path.size() <= 3)
        return false;
    // The result of the creation is not trusted on its own: a trailing
    // separator can report failure after success, and a race can remove it.
    fs::create_directories(path, ec);
    return fs::is_directory(path, ec);
}

std::string ForceFolderFailure(const std::string& path)
{
    if (ForceFolder(path))
        return {};
    if (path.size() <= 3)
        return "cannot make the folder \"" + path + "\"";
    // Made one level at a time, so the answer names the level that failed.
    std::size_t end = path.find('/', 1);
    for (;;) {
        const std::string level = path.substr(0, end == std::string::npos ? path.size() : end + 1);
        std::error_code ec;
        if (!fs::is_directory(level, ec)) {
            if (::mkdir(level.c_str(), 0777) != 0 && !fs::is_directory(level, ec)) {
                const int error = errno;
                struct stat st {};
                const std::string bare = level.back() == '/' ? level.substr(0, level.size() - 1) : level;
                if (::stat(bare.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
                    return "cannot make the folder " + level + ": a file of that name is in the way";
                return "cannot make the folder " + level + ": " + std::strerror(error);
            }
        }
        if (end == std::string::npos || end + 1 >= path.size())
            break;
        end = path.find('/', end + 1);
    }
    std::error_code ec;
    return fs::is_directory(path, ec) ? std::string() : "cannot make the folder " + path;
}

bool HasInvalidFileChars(std::string_view text)
{
    return text.find_first_of("\\/:*?\"<>|") != std::string_view::npos;
}

namespace {

struct TToken {
    bool Conversion;   // a % directive, else literal text
    std::string Text;
};

bool IsSeparator(std::string_view literal)
{
    if (literal.empty())
        return false;
    for (const char c : literal) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || (u > ' ' && (std::isalnum(u) != 0)))
            return false;
    }
    return true;
}

// Splits a strftime format into directives ("%H", "%OS", "%%") and the
// literal text between them.
std::vector<TToken> Tokenise(std::string_view format)
{
    std::vector<TToken> tokens;
    std::size_t i = 0;
    while (i < format.size()) {
        if (format[i] == '%' && i + 1 < format.size()) {
            std::size_t end = i + 1;
            if ((format[end] == 'E' || format[end] == 'O') && end + 1 < format.size())
                ++end;
            tokens.push_back({true, std::string(format.substr(i, end + 1 - i))});
            i = end + 1;
            continue;
        }
        const std::size_t next = format.find('%', i + 1);
        const std::size_t stop = next == std::string_view::npos ? format.size() : next;
        if (!tokens.empty() && !tokens.back().Conversion)
            tokens.back().Text += format.substr(i, stop - i);
        else
            tokens.push_back({false, std::string(format.substr(i, stop - i))});
        i = stop;
    }
    return tokens;
}

std::string Untokenise(const std::vector<TToken>& tokens)
{
    std::string out;
    for (const auto& t : tokens)
        out += t.Text;
    return out;
}

// The user's date and time format as the environment names it. Opening a
// locale reads its files, and every log line asks for the format, so it is
// opened again only when the environment names another one.
class TLocaleDateTimeFormat {
public:
    ~TLocaleDateTimeFormat()
    {
        if (locale_)
            freelocale(locale_);
    }

    // The locale and format to use, or nullptr when no format can be formed.
    locale_t Current(std::string& format)
    {
        std::string name = EnvironmentName();
        if (!opened_ || name != name_) {
            Open();
            name_ = std::move(name);
            opened_ = true;
        }
        format = format_;
        return format_.empty() ? nullptr : locale_;
    }

private:
    static std::string EnvironmentName()
    {
        for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"})
            if (const char* value = std::getenv(variable); value && *value)
                return value;
        return {};
    }

    void Open()
    {
        if (locale_)
            freelocale(locale_);
        format_.clear();
        // The process locale stays as it is: the user's LC_TIME is opened
        // only for these texts.
        locale_ = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
        if (locale_ == nullptr)
            locale_ = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
        if (locale_ == nullptr)
            return;
        const std::string date = nl_langinfo_l(D_FMT, locale_);
        const std::string time = ShortTimeFormat(nl_langinfo_l(T_FMT, locale_), nl_langinfo_l(T_FMT_AMPM, locale_));
        if (!date.empty() && !time.empty())
            format_ = date + " " + time;
    }

    bool opened_ = false;
    std::string name_;
    locale_t locale_ = nullptr;
    std::string format_;
};

// The locale's date and time, or an empty text when they cannot be formed.
std::string LocaleDateTime(const std::tm& tm)
{
    thread_local TLocaleDateTimeFormat cache;
    std::string format;
    const locale_t loc = cache.Current(format);
    if (loc == nullptr)
        return {};
    char buffer[256];
    const std::size_t n = strftime_l(buffer, sizeof buffer, format.c_str(), &tm, loc);
    return std::string(buffer, n);
}

} // namespace

std::string ShortTimeFormat(std::string_view timeFormat, std::string_view twelveHourFormat)
{
    std::string expanded;
    for (const auto& t : Tokenise(timeFormat)) {
        if (t.Text == "%T")
            expanded += "%H:%M:%S";
        else if (t.Text == "%R")
            expanded += "%H:%M";
        else if (t.Text == "%r")
            expanded += twelveHourFormat.empty() ? std::string_view("%I:%M:%S %p")
                                                 : twelveHourFormat;
        else
            expanded += t.Text;
    }
    auto tokens = Tokenise(expanded);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (!tokens[i].Conversion || tokens[i].Text.back() != 'S')
            continue;
        // "12:34:56" loses ":56"; unit-marked forms such as "12h34m56s" or
        // CJK hour/minute/second marks lose the seconds and their own mark.
        const bool separatorBefore =
            i > 0 && !tokens[i - 1].Conversion && IsSeparator(tokens[i - 1].Text);
        if (separatorBefore) {
            tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(i - 1),
                         tokens.begin() + static_cast<std::ptrdiff_t>(i + 1));
        } else {
            if (i + 1 < tokens.size() && !tokens[i + 1].Conversion) {
                std::string& after = tokens[i + 1].Text;
                after.erase(0, std::min(after.find(' '), after.size()));
            }
            tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(i));
        }
        break;
    }
    return Untokenise(tokens);
}

std::string DateTimeText(TDateTime value)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(value);
    std::tm tm{};
    if (localtime_r(&seconds, &tm) == nullptr)
        return {};   // outside the calendar the C library can represent
    std::string text = LocaleDateTime(tm);
    if (text.empty()) {
        char buffer[64];
        text.assign(buffer, std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &tm));
    }
    return text;
}

TDateTime FileDateOf(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return TDateTime{};
    return std::chrono::time_point_cast<TDateTime::duration>(
        std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec) +
        std::chrono::nanoseconds(info.st_mtim.tv_nsec));
}

std::string GetProductVersion()
{
#ifdef VENDREL_VERSION
    const std::string version = VENDREL_VERSION;
    if (!version.empty())
        return version;
#endif
    return "?.?";
}

int WindowsVersionCodeOf(TWindowsFamily family, int major, int minor)
{
    constexpr int NotRecognised = 8;
    if (family == TWindowsFamily::Win9x && major == 4) {
        if (minor == 0)
            return 0;
        if (minor >= 1 && minor <= 89)
            return 1;
        if (minor == 90)
            return 2;
    } else if (family == TWindowsFamily::WinNT) {
        if (major == 4)
            return 3;
        if (major == 5 && minor == 0)
            return 4;
        if (major == 5 && minor == 1)
            return 5;
        if (major == 6 && minor == 0)
            return 6;
        if (major == 6 && minor == 1)
            return 7;
    }
    return NotRecognised;
}

int GetWindowsVersionCode()
{
    return WindowsVersionCodeOf(TWindowsFamily::Other, 0, 0);
}

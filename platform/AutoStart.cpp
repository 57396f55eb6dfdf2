#include "platform/AutoStart.h"

#include "platform/AtomicFile.h"
#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "platform/Text.h"
#include "platform/Utilities.h"

#include <cerrno>
#include <unistd.h>

std::string AutoStartEntryPath(const std::string& name)
{
    const auto config = UserConfigHome();
    if (!config)
        return {};
    return *config + "/autostart/" + name + ".desktop";
}

std::string AutoStartCommand(const std::string& programPath)
{
    // An Exec value is read in three steps, and the path must survive each:
    // the string escapes of the file (\\ \n \t \r), then the field codes
    // (%% for a percent sign), then the quoting, inside which " ` $ and \ take
    // a backslash. So "$" is written \\$ and a backslash \\\\.
    std::string quoted = "\"";
    for (char c : programPath) {
        switch (c) {
        case '"':
        case '`':
        case '$':
            quoted += "\\\\";
            quoted += c;
            break;
        case '\\':
            quoted += "\\\\\\\\";
            break;
        case '%':
            quoted += "%%";
            break;
        // A line break would end the entry's line and start a key of its own.
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\t':
            quoted += "\\t";
            break;
        default:
            quoted += c;
        }
    }
    return quoted + "\" /start";
}

void SetAutoStart(const std::string& name, const std::string& programPath, bool on)
{
    const std::string path = AutoStartEntryPath(name);
    if (path.empty())
        throw EAutoStartError();
    if (!on) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            throw EAutoStartError();
        return;
    }
    if (!ForceFolder(path.substr(0, path.find_last_of('/'))))
        throw EAutoStartError();
    const std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=" + name + "\n"
        "Exec=" + AutoStartCommand(programPath) + "\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    if (!WriteFileAtomic(path, entry))
        throw EAutoStartError();
}

bool IsAutoStart(const std::string& name)
{
    const std::string path = AutoStartEntryPath(name);
    if (path.empty())
        return false;
    const TIniFile entry(path);
    // The desktop's own start-up settings turn an entry off with these keys
    // and leave the file in place; a save must not take that as "on".
    const auto said = [&](const char* key, const char* word) {
        return SameText(entry.ReadString("Desktop Entry", key, ""), word);
    };
    if (said("Hidden", "true") || said("X-GNOME-Autostart-enabled", "false"))
        return false;
    return !entry.ReadString("Desktop Entry", "Exec", "").empty();
}

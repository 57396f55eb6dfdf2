#include "platform/AutoStart.h"

#include "platform/AtomicFile.h"
#include "platform/Folders.h"
#include "platform/IniFile.h"
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
    // Inside double quotes a desktop entry reserves " ` $ and \.
    std::string quoted = "\"";
    for (char c : programPath) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
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
    return !entry.ReadString("Desktop Entry", "Exec", "").empty();
}

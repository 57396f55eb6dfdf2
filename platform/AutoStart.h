#pragma once

// Start-up registration: an XDG autostart entry named for the program, whose
// command is the double-quoted program path, a space and "/start".

#include <stdexcept>
#include <string>

class EAutoStartError : public std::runtime_error {
public:
    EAutoStartError() : std::runtime_error("Error encountered saving registry") {}
};

// $XDG_CONFIG_HOME/autostart/<name>.desktop (else under ~/.config).
std::string AutoStartEntryPath(const std::string& name);
// The command the entry holds: "\"" + program path + "\" /start".
std::string AutoStartCommand(const std::string& programPath);

// Writes (on) or removes (off) the entry; raises EAutoStartError when the entry
// cannot be written or its folder cannot be made. A missing entry is no error.
void SetAutoStart(const std::string& name, const std::string& programPath, bool on);
// True when the entry exists and its command is not empty.
bool IsAutoStart(const std::string& name);

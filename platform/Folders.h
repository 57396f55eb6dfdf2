#pragma once

// Where the desktop keeps things for the current user.

#include <optional>
#include <string>

// $XDG_DATA_HOME, else ~/.local/share; nothing when neither can be found.
std::optional<std::string> UserDataHome();
// $XDG_CONFIG_HOME, else ~/.config; nothing when neither can be found.
std::optional<std::string> UserConfigHome();
// The program file's full path and its folder (ending in "/").
std::string ProgramPath();
std::string ProgramFolder();
// $TMPDIR, else /tmp, ending in "/".
std::string TempFolder();

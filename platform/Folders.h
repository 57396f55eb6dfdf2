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
// The folder of the program's own files ("Source.dat", "Readme.html",
// "SMTP_Settings.html"), ending in "/": the program's folder in a build tree,
// <prefix>/share/vendrel/ once installed under <prefix>/bin.
std::string ProgramShareFolder();
// The same choice for a program whose folder is programFolder (ending in "/").
std::string ProgramShareFolderOf(const std::string& programFolder);

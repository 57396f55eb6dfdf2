#pragma once

// Small stateless routines the engine and the windows share: folders, file
// names, date text, file dates and version information. None of them raises;
// failures come back as false, the epoch or a placeholder text.

#include "platform/Clock.h"

#include <string>
#include <string_view>

// True when the folder exists afterwards. Creates missing parents; a path of
// three characters or fewer is never created.
bool ForceFolder(const std::string& path);
// The same, and when the folder cannot be made, why: the first folder on the
// way that could not be made and the system's reason. Empty on success.
std::string ForceFolderFailure(const std::string& path);

// The characters that no file name may hold: \ / : * ? " < > |
bool HasInvalidFileChars(std::string_view text);

// The user's short date, a blank and the user's short time, in local time;
// the form "%Y-%m-%d %H:%M:%S" when the locale's forms cannot be used.
std::string DateTimeText(TDateTime value);

// A strftime time format reduced to hours and minutes: the seconds and their
// separator go, %T and %R are spelled out, and %r becomes twelveHourFormat
// (the locale's T_FMT_AMPM) so that its AM/PM marker stays.
std::string ShortTimeFormat(std::string_view timeFormat, std::string_view twelveHourFormat);

// Last modification of the file; the epoch (TDateTime{}) when it cannot be read.
TDateTime FileDateOf(const std::string& path);

// The program's version, such as "1.0.0"; "?.?" when the build does not say.
std::string GetProductVersion();

enum class TWindowsFamily { Win9x, WinNT, Other };

// 0 Windows 95, 1 Windows 98, 2 Windows ME, 3 NT 4, 4 Windows 2000, 5 XP,
// 6 Vista, 7 Windows 7, 8 anything else.
int WindowsVersionCodeOf(TWindowsFamily family, int major, int minor);

// The classification of the running system: 8 here, as no Windows family is
// ever recognised on this platform.
int GetWindowsVersionCode();

#pragma once
#include <string>
bool ForceFolder(const std::string& path);
#include <chrono>
using TDateTime = std::chrono::system_clock::time_point;
std::string DateTimeText(TDateTime value);

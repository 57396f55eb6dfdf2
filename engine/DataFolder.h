#pragma once

#include "engine/Product.h"

#include <string>

// The per-user data folder, ending in "/": the user's data home + "Quorvan/" +
// name + "/", else the program's folder, created when missing (create flag);
// the temporary folder when it cannot be made. Computed afresh at each use.
std::string DataFolder(const std::string& name = ProductName, bool create = true);

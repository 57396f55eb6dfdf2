#pragma once

#include "engine/Product.h"

#include <string>

// The per-user data folder, ending in "/": the user's data home + "Quorvan/" +
// name + "/", else the program's folder, created when missing (create flag);
// the temporary folder when it cannot be made. It reads the environment: the
// program start computes it once and hands it to whatever keeps files there.
std::string DataFolder(const std::string& name = ProductName, bool create = true);

#pragma once

#include "engine/Product.h"

#include <stdexcept>
#include <string>

// The data folder could not be made. Its message names the folder that
// could not be made and why.
class EDataFolderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The per-user data folder, ending in "/": the user's data home + "Quorvan/" +
// name + "/", else the program's folder, created when missing (create flag).
// When it cannot be made it raises EDataFolderError: a shared folder in its
// place (the temporary folder) would hold settings and site lists that any
// other user could have put there. It reads the environment: the program
// start computes it once and hands it to whatever keeps files there.
std::string DataFolder(const std::string& name = ProductName, bool create = true);

#pragma once

// A temporary home for one test: XDG_DATA_HOME and XDG_CONFIG_HOME point into
// it while the object lives, and the folder is removed afterwards.

#include <string>

class TTempDataFolder {
public:
    TTempDataFolder();
    ~TTempDataFolder();
    TTempDataFolder(const TTempDataFolder&) = delete;
    TTempDataFolder& operator=(const TTempDataFolder&) = delete;

    // The root of the temporary tree, ending in "/".
    const std::string& Root() const { return root_; }
    // Where the program keeps its files: XDG_DATA_HOME + "Quorvan/Vendrel/".
    std::string DataFolder() const { return root_ + "data/Quorvan/Vendrel/"; }
    std::string ConfigHome() const { return root_ + "config/"; }

private:
    std::string root_;
    std::string oldData_;
    std::string oldConfig_;
    bool hadData_ = false;
    bool hadConfig_ = false;
};

// Whole-file helpers for tests.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

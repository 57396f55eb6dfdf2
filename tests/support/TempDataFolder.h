#pragma once

// A temporary home for one test, removed afterwards. By default XDG_DATA_HOME
// and XDG_CONFIG_HOME point into it while the object lives, for what reads
// the environment (the data folder's default, the start-up entry, a child
// program). The engine is handed its folders, so tests that run server
// threads of their own leave the environment untouched.

#include <string>

enum class TDesktopHome {
    Untouched, // the environment stays as it is
    Pointed    // XDG_DATA_HOME and XDG_CONFIG_HOME point here while the object lives
};

class TTempDataFolder {
public:
    explicit TTempDataFolder(TDesktopHome home = TDesktopHome::Pointed);
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
    bool pointed_ = false;
};

// Whole-file helpers for tests.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

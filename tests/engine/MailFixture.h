#pragma once

// The real SMTP server (aiosmtpd) on loopback, started for one test, with the
// messages it stored.

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDataFolder.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class TMailFixture {
public:
    TMailFixture(const std::string& folder, std::vector<std::string> args = {"--no-auth"}) : folder_(folder)
    {
        std::filesystem::create_directories(folder_);
        args.insert(args.begin(), {"--out", folder_});
        server_ = std::make_unique<TChildProcess>(PythonFixture("smtp_server.py", args));
        port_ = std::stoi(server_->FirstLine());
    }
    int Port() const { return port_; }
    // The stored messages, oldest first.
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(folder_))
            if (e.path().extension() == ".eml")
                names.push_back(e.path().string());
        std::sort(names.begin(), names.end());
        std::vector<std::string> messages;
        for (const auto& n : names)
            messages.push_back(ReadFile(n));
        return messages;
    }

private:
    std::string folder_;
    std::unique_ptr<TChildProcess> server_;
    int port_ = 0;
};

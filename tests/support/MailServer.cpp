#include "tests/support/MailServer.h"

#include "tests/support/TempDataFolder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace {

std::vector<std::string> ServerArguments(const std::string& folder, const std::vector<std::string>& options)
{
    std::filesystem::create_directories(folder);
    std::vector<std::string> args{"--out", folder};
    args.insert(args.end(), options.begin(), options.end());
    return PythonFixture("smtp_server.py", args);
}

} // namespace

TMailServer::TMailServer(std::string folder, const std::vector<std::string>& options)
    : folder_(std::move(folder)), server_(ServerArguments(folder_, options)), port_(std::stoi(server_.FirstLine()))
{
}

std::string TMailServer::WaitForMessage(int n) const
{
    char name[16];
    std::snprintf(name, sizeof name, "/%04d.eml", n);
    const std::string path = folder_ + name;
    for (int i = 0; i < 250 && !FileExists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return path;
}

std::vector<std::string> TMailServer::Messages() const
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

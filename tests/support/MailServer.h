#pragma once

// The real SMTP server (Debian's aiosmtpd, tests/fixtures/smtp_server.py) on
// loopback for one test. It stores each message it accepts as NNNN.eml (the
// data as received) and NNNN.json (the envelope) in its folder.

#include "tests/support/ChildProcess.h"

#include <string>
#include <vector>

class TMailServer {
public:
    // options: as smtp_server.py takes them (--no-auth, --refuse-recipient ...).
    explicit TMailServer(std::string folder, const std::vector<std::string>& options = {});

    int Port() const { return port_; }
    const std::string& Folder() const { return folder_; }
    // The path of message n (counting from 1), once the server has stored it
    // or after five seconds.
    std::string WaitForMessage(int n) const;
    // Every stored message, oldest first.
    std::vector<std::string> Messages() const;

private:
    std::string folder_;
    TChildProcess server_;
    int port_ = 0;
};

#pragma once

// Root of the mail transport's exceptions. Header-only, so that the message
// writer below the transport can raise it without linking the transport.

#include <stdexcept>
#include <string>

class ENetException : public std::runtime_error {
public:
    explicit ENetException(const std::string& message) : std::runtime_error(message) {}
};

#pragma once

// Root of the mail transport's exceptions.

#include <stdexcept>
#include <string>

class ENetException : public std::runtime_error {
public:
    explicit ENetException(const std::string& message) : std::runtime_error(message) {}
};

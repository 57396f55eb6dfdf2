#pragma once

// What the message model raises when it cannot write a message. The transport
// lets it pass to the sender like its own errors; the composition reports its
// text.

#include <stdexcept>
#include <string>

class ENetMessageError : public std::runtime_error {
public:
    explicit ENetMessageError(const std::string& message) : std::runtime_error(message) {}
};

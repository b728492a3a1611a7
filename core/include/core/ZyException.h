// The exception the few throwing helpers raise (allocation of unbounded buffers).
#pragma once

#include <stdexcept>
#include <string>

class ZyException : public std::runtime_error {
public:
    explicit ZyException(const std::string& message) : std::runtime_error(message) {}
};

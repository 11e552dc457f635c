// Error types the numeric core throws; the module frame turns them into Python exceptions.
#pragma once

#include <stdexcept>
#include <string>

namespace telvora {

// Invalid input detected before any computation; reaches Python as ValueError.
class InvalidInput : public std::runtime_error {
public:
    explicit InvalidInput(const std::string& message) : std::runtime_error(message) {}
};

// A violated precondition inside a computation; reaches Python as the module's
// fatal-error exception carrying this message. Allocation failure is std::bad_alloc.
class FatalError : public std::runtime_error {
public:
    explicit FatalError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace telvora

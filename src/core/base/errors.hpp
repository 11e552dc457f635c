// Error types the numeric core throws; the module frame turns them into Python exceptions.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

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

// A request that cannot fit, refused before any work: an allocation failure (it is a
// std::bad_alloc) whose message names the size needed, so that MemoryError can say it.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

}  // namespace telvora

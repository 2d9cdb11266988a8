#pragma once

#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>

#include <cerrno>

// A command line that cannot be run: the usage is printed before the message.
struct UsageError : std::exception
{
    explicit UsageError(std::string text) : message(std::move(text)) {}
    const char* what() const noexcept override { return message.c_str(); }
    std::string message;
};

// A failure whose text is for the user as it is.
struct Failure : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

[[noreturn]] void throwErrno(const char* what, const std::filesystem::path& path, int error = errno);

// The text an error shows the user.
std::string describe(const std::exception_ptr& error);

// Prints the error's text as the last line of stderr; "内存不足" when the text itself finds
// no memory.
void tell(const std::exception_ptr& error) noexcept;

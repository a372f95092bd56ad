#pragma once

#include <exception>
#include <string>

namespace sarnovelle {

// The one error type of the system. Its message is a complete text for the
// user and is shown unchanged: what() returns exactly the message.
class MakerError : public std::exception {
public:
    explicit MakerError(std::string message) : message_(std::move(message)) {}

    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

} // namespace sarnovelle

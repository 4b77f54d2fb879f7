#pragma once

#include <memory>
#include <optional>
#include <string>

namespace tavik {

// The shared, immutable error value. Each owner derives its own error type
// with its cases and payloads; "the same error" means the same pointer.
class Error {
public:
    virtual ~Error() = default;
    // The text shown to a user or written to the log.
    virtual std::string description() const = 0;
    virtual std::optional<std::string> failureReason() const { return std::nullopt; }
    // Identify the error across a process boundary, as domain and code.
    virtual std::string domain() const = 0;
    virtual int code() const = 0;
};

using ErrorPtr = std::shared_ptr<const Error>;

// An error known only by its domain, code and texts: what arrives from
// another process, or a one-off failure with no owner type of its own.
class GenericError final : public Error {
public:
    GenericError(std::string domain, int code, std::string description, std::optional<std::string> failureReason = {})
        : domain_(std::move(domain))
        , code_(code)
        , description_(std::move(description))
        , failureReason_(std::move(failureReason))
    {
    }

    static ErrorPtr make(std::string domain, int code, std::string description)
    {
        return std::make_shared<const GenericError>(std::move(domain), code, std::move(description));
    }

    std::string description() const override { return description_; }
    std::optional<std::string> failureReason() const override { return failureReason_; }
    std::string domain() const override { return domain_; }
    int code() const override { return code_; }

private:
    std::string domain_;
    int code_;
    std::string description_;
    std::optional<std::string> failureReason_;
};

} // namespace tavik

#pragma once

#include "platform/foundation/Error.hpp"

#include <string>

namespace tavik::zip {

// An error of the archive reader: one case of its owner's enumeration, plus the
// entry path (or file path) it concerns when there is one.
template <class Owner, class CaseEnum>
class CodedError : public Error {
public:
    using Code = CaseEnum;

    CodedError(Code code, std::string path)
        : code_(code)
        , path_(std::move(path))
    {
    }

    static ErrorPtr make(Code code, std::string path = {}) { return std::make_shared<const Owner>(code, std::move(path)); }

    // Whether an error is of this owner and has this case.
    static bool is(const ErrorPtr& error, Code code)
    {
        auto* coded = dynamic_cast<const Owner*>(error.get());
        return coded && coded->errorCode() == code;
    }

    Code errorCode() const { return code_; }
    const std::string& path() const { return path_; }
    int code() const override { return static_cast<int>(code_); }
    std::optional<std::string> failureReason() const override
    {
        if (path_.empty())
            return std::nullopt;
        return path_;
    }

private:
    Code code_;
    std::string path_;
};

enum class ArchiveErrorCode {
    unreadableArchive,
    unwritableArchive,
    invalidEntryPath,
    invalidCompressionMethod,
    invalidStartOfCentralDirectoryOffset,
    missingEndOfCentralDirectoryRecord,
    cancelledOperation,
};

class ArchiveError final : public CodedError<ArchiveError, ArchiveErrorCode> {
public:
    using CodedError::CodedError;
    std::string description() const override;
    std::string domain() const override { return "app.tavik.zip.ArchiveError"; }
};

enum class CompressionErrorCode {
    invalidStream,
    corruptedData,
};

class CompressionError final : public CodedError<CompressionError, CompressionErrorCode> {
public:
    using CodedError::CodedError;
    std::string description() const override;
    std::string domain() const override { return "app.tavik.zip.CompressionError"; }
};

enum class DataErrorCode {
    unreadableFile,
    unwritableFile,
};

class DataError final : public CodedError<DataError, DataErrorCode> {
public:
    using CodedError::CodedError;
    std::string description() const override;
    std::string domain() const override { return "app.tavik.zip.DataError"; }
};

} // namespace tavik::zip

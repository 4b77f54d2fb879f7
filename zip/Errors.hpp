#pragma once

#include "platform/foundation/CodedError.hpp"

#include <cstdint>
#include <string>

namespace tavik::zip {

// An error of the archive readers: one case of its owner's enumeration, plus
// the entry path (or file path) it concerns when there is one.
template <class Owner, class CaseEnum>
class PathCodedError : public DetailedCodedError<Owner, CaseEnum> {
public:
    using DetailedCodedError<Owner, CaseEnum>::DetailedCodedError;

    const std::string& path() const { return this->detail(); }
    std::optional<std::string> failureReason() const override
    {
        if (path().empty())
            return std::nullopt;
        return path();
    }
};

enum class ArchiveErrorCode {
    unreadableArchive,
    unwritableArchive,
    invalidEntryPath,
    invalidCompressionMethod,
    invalidStartOfCentralDirectoryOffset,
    missingEndOfCentralDirectoryRecord,
    cancelledOperation,
    // Beyond ArchiveLimits: the archive is refused as a whole.
    tooManyEntries,
    entryPathTooLong,
};

class ArchiveError final : public PathCodedError<ArchiveError, ArchiveErrorCode> {
public:
    using PathCodedError::PathCodedError;
    std::string description() const override;
    std::string domain() const override { return "app.tavik.zip.ArchiveError"; }
};

enum class CompressionErrorCode {
    invalidStream,
    corruptedData,
};

class CompressionError final : public PathCodedError<CompressionError, CompressionErrorCode> {
public:
    using PathCodedError::PathCodedError;
    std::string description() const override;
    std::string domain() const override { return "app.tavik.zip.CompressionError"; }
};

enum class DataErrorCode {
    unreadableFile,
    unwritableFile,
};

class DataError final : public PathCodedError<DataError, DataErrorCode> {
public:
    using PathCodedError::PathCodedError;
    std::string description() const override;
    std::string domain() const override { return "app.tavik.zip.DataError"; }
};

// The entries about to be extracted record more bytes than may be written
// into the folder.
class InsufficientSpaceError final : public Error {
public:
    InsufficientSpaceError(uint64_t neededBytes, uint64_t allowedBytes, std::string folder)
        : neededBytes_(neededBytes)
        , allowedBytes_(allowedBytes)
        , folder_(std::move(folder))
    {
    }
    static ErrorPtr make(uint64_t neededBytes, uint64_t allowedBytes, std::string folder)
    {
        return std::make_shared<const InsufficientSpaceError>(neededBytes, allowedBytes, std::move(folder));
    }
    static bool is(const ErrorPtr& error) { return dynamic_cast<const InsufficientSpaceError*>(error.get()); }

    uint64_t neededBytes() const { return neededBytes_; }
    uint64_t allowedBytes() const { return allowedBytes_; }
    std::string description() const override;
    std::optional<std::string> failureReason() const override { return folder_; }
    std::string domain() const override { return "app.tavik.zip.InsufficientSpaceError"; }
    int code() const override { return 0; }

private:
    uint64_t neededBytes_;
    uint64_t allowedBytes_;
    std::string folder_;
};

// Where an extraction of several entries stopped: the entry it was at (no
// path when it stopped before any entry, as for the free space) and the error
// met there, which it passes on as its own description, domain and code.
class ExtractionError final : public Error {
public:
    enum class Step {
        // Reading the links' targets to order them, before anything is written.
        orderingLinks,
        // Checking the entries' paths, or writing them.
        extracting,
    };

    ExtractionError(ErrorPtr cause, std::string entryPath = {}, std::string entryKind = {}, Step step = Step::extracting)
        : cause_(std::move(cause))
        , entryPath_(std::move(entryPath))
        , entryKind_(std::move(entryKind))
        , step_(step)
    {
    }
    static ErrorPtr make(ErrorPtr cause, std::string entryPath = {}, std::string entryKind = {},
        Step step = Step::extracting)
    {
        return std::make_shared<const ExtractionError>(std::move(cause), std::move(entryPath), std::move(entryKind), step);
    }

    const ErrorPtr& cause() const { return cause_; }
    const std::string& entryPath() const { return entryPath_; }
    // "file", "directory" or "symlink"; empty without an entry.
    const std::string& entryKind() const { return entryKind_; }
    Step step() const { return step_; }

    std::string description() const override { return cause_->description(); }
    std::optional<std::string> failureReason() const override { return cause_->failureReason(); }
    std::string domain() const override { return cause_->domain(); }
    int code() const override { return cause_->code(); }

private:
    ErrorPtr cause_;
    std::string entryPath_;
    std::string entryKind_;
    Step step_;
};

} // namespace tavik::zip

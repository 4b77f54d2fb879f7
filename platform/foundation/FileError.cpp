#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <cstring>
#include <fmt/format.h>

namespace tavik {

FileError::FileError(Code code, std::filesystem::path path, int errnoValue)
    : code_(code)
    , path_(std::move(path))
    , errno_(errnoValue)
{
}

ErrorPtr FileError::make(Code code, std::filesystem::path path, int errnoValue)
{
    return std::make_shared<const FileError>(code, std::move(path), errnoValue);
}

ErrorPtr FileError::fromErrno(int errnoValue, std::filesystem::path path, bool writing)
{
    Code code;
    switch (errnoValue) {
    case ENOENT:
    case ENOTDIR:
        code = writing ? Code::fileNoSuchFile : Code::fileReadNoSuchFile;
        break;
    case EACCES:
    case EPERM:
    case EROFS:
        code = writing ? Code::fileWriteNoPermission : Code::fileReadNoPermission;
        break;
    case EEXIST:
        code = Code::fileWriteFileExists;
        break;
    case ENOSPC:
    case EDQUOT:
        code = Code::fileWriteOutOfSpace;
        break;
    default:
        code = writing ? Code::fileWriteUnknown : Code::fileReadUnknown;
    }
    return make(code, std::move(path), errnoValue);
}

std::string FileError::description() const
{
    auto name = path_.filename().string();
    switch (code_) {
    case Code::fileNoSuchFile:
    case Code::fileReadNoSuchFile:
        return fmt::format("The file “{}” couldn’t be opened because there is no such file.", name);
    case Code::fileReadNoPermission:
        return fmt::format("The file “{}” couldn’t be opened because you don’t have permission to view it.", name);
    case Code::fileWriteNoPermission:
        return fmt::format("You don’t have permission to save the file “{}”.", name);
    case Code::fileWriteFileExists:
        return fmt::format("The file “{}” couldn’t be saved because a file with the same name already exists.", name);
    case Code::fileWriteOutOfSpace:
        return fmt::format("The file “{}” couldn’t be saved because there isn’t enough space.", name);
    case Code::fileReadUnknown:
        return fmt::format("The file “{}” couldn’t be opened.", name);
    case Code::fileWriteUnknown:
        return fmt::format("The file “{}” couldn’t be saved.", name);
    }
    return fmt::format("The file “{}” couldn’t be used.", name);
}

std::optional<std::string> FileError::failureReason() const
{
    if (errno_ == 0)
        return std::nullopt;
    return fmt::format("{}: {}", path_.string(), std::strerror(errno_));
}

bool isFileError(const ErrorPtr& error, FileError::Code code)
{
    auto* fileError = dynamic_cast<const FileError*>(error.get());
    return fileError && fileError->fileCode() == code;
}

int errnoOf(const ErrorPtr& error)
{
    auto* fileError = dynamic_cast<const FileError*>(error.get());
    return fileError ? fileError->errnoValue() : 0;
}

} // namespace tavik

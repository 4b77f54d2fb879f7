#include "platform/workspace/ApplicationBundle.hpp"

#include "platform/plist/PropertyList.hpp"
#include "platform/workspace/WorkspaceError.hpp"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik {

namespace {

// Far larger than any real Info.plist; keeps a hostile one from eating memory.
constexpr std::uintmax_t largestInfoPlist = 8 * 1024 * 1024;

Result<std::string> executableName(const std::filesystem::path& infoPlist)
{
    struct stat status {};
    if (::stat(infoPlist.c_str(), &status) != 0)
        return WorkspaceError::make(WorkspaceError::Code::infoPlistMissing, infoPlist.parent_path().parent_path(), errno);
    auto bundle = infoPlist.parent_path().parent_path();
    if (!S_ISREG(status.st_mode) || static_cast<std::uintmax_t>(status.st_size) > largestInfoPlist)
        return WorkspaceError::make(WorkspaceError::Code::infoPlistInvalid, bundle);
    std::ifstream stream(infoPlist, std::ios::binary);
    if (!stream)
        return WorkspaceError::make(WorkspaceError::Code::infoPlistMissing, bundle, errno);
    std::string data((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());

    auto root = plist::PropertyList::parse(data);
    if (!root || root->kind() != plist::PropertyList::Kind::dictionary)
        return WorkspaceError::make(WorkspaceError::Code::infoPlistInvalid, bundle);

    const plist::PropertyList* item = root->find("CFBundleExecutable");
    const std::string* name = item ? item->string() : nullptr;
    if (!name || name->empty())
        return WorkspaceError::make(WorkspaceError::Code::executableNotNamed, bundle);
    return *name;
}

} // namespace

Result<std::filesystem::path> bundleExecutable(const std::filesystem::path& bundle)
{
    auto name = executableName(bundle / "Contents" / "Info.plist");
    if (!name)
        return name.error();
    // Only a file directly in Contents/MacOS: the bundle cannot point
    // outside itself by its name.
    if (name->find('/') != std::string::npos || *name == "." || *name == "..")
        return WorkspaceError::make(WorkspaceError::Code::executableNameInvalid, bundle);

    auto executable = bundle / "Contents" / "MacOS" / *name;
    struct stat status {};
    if (::stat(executable.c_str(), &status) != 0)
        return WorkspaceError::make(WorkspaceError::Code::executableMissing, bundle, errno);
    if (!S_ISREG(status.st_mode) || ::access(executable.c_str(), X_OK) != 0)
        return WorkspaceError::make(WorkspaceError::Code::executableNotRunnable, bundle);
    return executable;
}

} // namespace tavik

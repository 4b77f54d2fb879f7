#include "platform/foundation/FileIdentity.hpp"

#include "platform/foundation/Bookmark.hpp"

namespace tavik {

Result<std::vector<uint8_t>> fileIdentityBytes(const URL& url)
{
    return bookmarkData(url, BookmarkCreationOptions::none);
}

} // namespace tavik

#include "platform/updater/FeedLoader.hpp"

#include "platform/updater/UpdaterError.hpp"

#include <curl/curl.h>
#include <fmt/format.h>

#include <memory>
#include <mutex>

namespace tavik::updater {

namespace {

struct Download {
    std::string body;
    size_t maxBytes = 0;
    bool tooLarge = false;
};

size_t receive(char* data, size_t size, size_t count, void* userData)
{
    auto* download = static_cast<Download*>(userData);
    size_t bytes = size * count;
    if (download->body.size() + bytes > download->maxBytes) {
        download->tooLarge = true;
        return 0; // ends the transfer
    }
    download->body.append(data, bytes);
    return bytes;
}

void initializeCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

bool FeedLoader::isSupportedURL(const std::string& url)
{
    return (url.starts_with("file:/") && url.size() > 6) || (url.starts_with("https://") && url.size() > 8);
}

Result<std::string> FeedLoader::load(const std::string& url, size_t maxBytes, std::chrono::seconds timeout)
{
    if (!isSupportedURL(url))
        return UpdaterError::make(UpdaterError::Code::invalidFeedURL, url);
    initializeCurlOnce();
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl)
        return UpdaterError::make(UpdaterError::Code::feedUnreadable, "cannot start a transfer");

    Download download;
    download.maxBytes = maxBytes;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "file,https");
    curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, static_cast<long>(timeout.count()));
    curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &download);
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, errorText);

    auto code = curl_easy_perform(curl.get());
    if (download.tooLarge || code == CURLE_FILESIZE_EXCEEDED)
        return UpdaterError::make(UpdaterError::Code::feedUnreadable, fmt::format("{} is larger than {} bytes", url, maxBytes));
    if (code != CURLE_OK) {
        std::string reason = errorText[0] ? errorText : curl_easy_strerror(code);
        return UpdaterError::make(UpdaterError::Code::feedUnreadable, url + ": " + reason);
    }
    return std::move(download.body);
}

} // namespace tavik::updater

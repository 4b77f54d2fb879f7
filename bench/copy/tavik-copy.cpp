#include "platform/filemanager/FileManager.hpp"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: tavik-copy SOURCE DESTINATION\n");
        return 2;
    }
    auto copied = tavik::FileManager::defaultManager()->copyItem(tavik::URL::fileURL(argv[1]), tavik::URL::fileURL(argv[2]));
    if (!copied) {
        auto reason = copied.error()->failureReason();
        std::fprintf(stderr, "tavik-copy: %s%s%s\n", copied.error()->description().c_str(), reason ? " " : "",
            reason ? reason->c_str() : "");
        return 1;
    }
    return 0;
}

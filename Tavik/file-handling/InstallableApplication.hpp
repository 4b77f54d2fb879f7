#pragma once

#include "Tavik/file-handling/FileSource.hpp"
#include "platform/foundation/URL.hpp"

#include <memory>
#include <variant>

namespace tavik {

// An application bundle or installer package found in a download, with the
// chain of containers it was found in.
struct InstallableApplication {
    enum class Kind {
        application, // copied and opened
        package, // opened in place
    };

    // How the item was reached. Container cases hold their parent, so a chain
    // can be any depth and always ends in a directory.
    class Source {
    public:
        struct Directory {
            URL url;
            FileSource configurationSource;
        };
        struct DMG {
            URL fileURL;
            URL mountURL;
            std::shared_ptr<const Source> parent;
        };
        struct ZIP {
            URL url;
            std::shared_ptr<const Source> parent;
        };

        static Source directory(URL url, FileSource configurationSource);
        static Source dmg(URL fileURL, URL mountURL, Source parent);
        static Source zip(URL url, Source parent);

        // The folder and source kind at the bottom of the chain.
        struct Root {
            URL url;
            FileSource configurationSource;
        };
        Root root() const;

        std::variant<Directory, DMG, ZIP> value;

    private:
        explicit Source(std::variant<Directory, DMG, ZIP> v)
            : value(std::move(v))
        {
        }
    };

    URL url;
    Source source;
    Kind kind;
};

} // namespace tavik

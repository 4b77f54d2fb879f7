#include "Tavik/file-handling/InstallableApplication.hpp"

namespace tavik {

using Source = InstallableApplication::Source;

Source Source::directory(URL url, FileSource configurationSource)
{
    return Source(Directory {std::move(url), configurationSource});
}

Source Source::dmg(URL fileURL, URL mountURL, Source parent)
{
    return Source(DMG {std::move(fileURL), std::move(mountURL), std::make_shared<const Source>(std::move(parent))});
}

Source Source::zip(URL url, Source parent)
{
    return Source(ZIP {std::move(url), std::make_shared<const Source>(std::move(parent))});
}

Source::Root Source::root() const
{
    const Source* current = this;
    for (;;) {
        if (auto* directory = std::get_if<Directory>(&current->value))
            return Root {directory->url, directory->configurationSource};
        if (auto* dmg = std::get_if<DMG>(&current->value))
            current = dmg->parent.get();
        else
            current = std::get<ZIP>(current->value).parent.get();
    }
}

} // namespace tavik

#include "Tavik/configuration/AppPreferences.hpp"

#include "persistence/Transformers.hpp"
#include "platform/defaults/UserDefaults.hpp"

namespace tavik::AppPreferences {

const persistence::Persister<bool>& hasRunInitialSetup()
{
    static const persistence::Persister<bool> persister("hasRunInitialSetup", defaults::UserDefaults::standard(), false);
    return persister;
}

const persistence::Persister<ApplicationDockIconMenuBarOption>& applicationDockIconMenuBarOption()
{
    static const persistence::Persister<ApplicationDockIconMenuBarOption> persister("applicationDockIconMenuBarOption",
        defaults::UserDefaults::standard(),
        persistence::TransformerPtr<ApplicationDockIconMenuBarOption, std::string>(
            std::make_shared<persistence::RawRepresentableTransformer<ApplicationDockIconMenuBarOption>>()),
        ApplicationDockIconMenuBarOption(ApplicationDockIconMenuBarOption::menuBarOnly));
    return persister;
}

} // namespace tavik::AppPreferences

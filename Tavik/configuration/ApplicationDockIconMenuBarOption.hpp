#pragma once

#include "options/UserConfigurationOption.hpp"

#include <nlohmann/json.hpp>

namespace tavik {

// Where the application shows its icon. The raw values start with a capital
// letter, unlike those of the per-source options; both are what is stored.
struct ApplicationDockIconMenuBarOptionTable {
    enum Case {
        menuBarOnly,
        dockOnly,
        dockAndMenuBar
    };
    static constexpr const char* typeName = "ApplicationDockIconMenuBarOption";
    static constexpr options::OptionCase cases[] = {
        {"MenuBarOnly", "Menu Bar Icon Only"},
        {"DockOnly", "Dock Icon Only"},
        {"DockAndMenuBar", "Dock Icon and Menu Bar Icon"},
    };
};
using ApplicationDockIconMenuBarOption = options::RawStringOption<ApplicationDockIconMenuBarOptionTable>;

} // namespace tavik

// Encoded and decoded as its raw string; decoding another string fails.
template <>
struct nlohmann::adl_serializer<tavik::ApplicationDockIconMenuBarOption> {
    static void to_json(nlohmann::json& json, const tavik::ApplicationDockIconMenuBarOption& option)
    {
        json = option.rawValue();
    }
    static tavik::ApplicationDockIconMenuBarOption from_json(const nlohmann::json& json)
    {
        auto option = tavik::ApplicationDockIconMenuBarOption::fromRawValue(json.get<std::string>());
        if (!option)
            throw nlohmann::json::other_error::create(501, "not a valid ApplicationDockIconMenuBarOption", &json);
        return *option;
    }
};

#pragma once

#include "platform/log/Logger.hpp"

#include <string>

namespace tavik::actions {

inline constexpr const char* actionsSubsystem = "app.tavik.TavikActions";

inline log::Logger actionsLog(std::string category)
{
    return log::Logger(actionsSubsystem, std::move(category));
}

} // namespace tavik::actions

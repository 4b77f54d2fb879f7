#pragma once

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <typeinfo>

namespace tavik::persistence {

// The unqualified name of a type, for messages: "FileFoundActionOption" for
// tavik::options::FileFoundActionOption. A type can choose its own by
// declaring `static constexpr const char* typeName`.
template <class T>
std::string typeName()
{
    if constexpr (requires { T::typeName; }) {
        return std::string(T::typeName);
    } else {
        int status = 0;
        std::unique_ptr<char, void (*)(void*)> demangled(
            abi::__cxa_demangle(typeid(T).name(), nullptr, nullptr, &status), std::free);
        std::string name = status == 0 && demangled ? demangled.get() : typeid(T).name();
        // Drop the qualification of the outermost name only.
        int depth = 0;
        size_t start = 0;
        for (size_t index = 0; index < name.size(); ++index) {
            char c = name[index];
            if (c == '<' || c == '(')
                ++depth;
            else if (c == '>' || c == ')')
                --depth;
            else if (depth == 0 && c == ':' && index + 1 < name.size() && name[index + 1] == ':')
                start = index + 2;
        }
        return name.substr(start);
    }
}

} // namespace tavik::persistence

#pragma once

#include "platform/foundation/URL.hpp"

#include <string>
#include <vector>

namespace tavik::zip {

// The items an extraction created under its root, so that a failed
// extraction can take them away again: only what it made itself (never what
// was there before), reached without following links.
class ExtractionJournal {
public:
    // Components of the item's path below the root.
    void recordCreated(std::vector<std::string> components, bool isDirectory);
    bool empty() const { return items_.empty(); }

    // Removes the recorded items under root, newest first, and forgets them.
    // A folder that holds something else stays. Best effort: an item that
    // cannot be removed is left.
    void removeCreated(const URL& root);

private:
    struct Item {
        std::vector<std::string> components;
        bool isDirectory = false;
    };
    std::vector<Item> items_;
};

} // namespace tavik::zip

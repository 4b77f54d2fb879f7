#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace tavik::hdiutil {

// A failure of the command; main prints "hdiutil: <message>" on standard
// error and exits with 1. The message carries no line end when the caller
// tests for a suffix ("Resource busy").
struct CommandFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// attach: lays the image's volume out at the mount point and returns the
// property list to print.
std::string attach(const std::string& image, const std::string& mountPoint);

// detach: removes what attach placed at the mount point.
void detach(const std::string& mountPoint);

// Runs one command line (without the program name); returns the exit status.
int run(const std::vector<std::string>& arguments);

} // namespace tavik::hdiutil

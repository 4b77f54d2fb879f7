// hdiutil: attaches and detaches disk images for duvrin-xpc by laying their
// volume out in a folder; see Commands.hpp.
#include "hdiutil/Commands.hpp"

int main(int argc, char** argv)
{
    return tavik::hdiutil::run(std::vector<std::string>(argv + 1, argv + argc));
}

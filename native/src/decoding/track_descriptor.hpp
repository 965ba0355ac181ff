#pragma once
#include <string>

namespace velmora {

// The script's track record. Times are seconds; path is UTF-8.
struct TrackDescriptor {
    std::string id;
    std::string path;
    std::string name;
    double duration = 0.0;
    double cueIn = 0.0;
    double cueOut = 0.0;
};

}  // namespace velmora

#include <string>

#include "ortholink/text.hpp"
#include "ortholink/trajectory.hpp"

namespace ortholink {

std::string trajectory_csv(const Trajectory& trajectory) {
    std::string out = "time";
    for (const char* prefix : {"j", "v", "a"}) {
        for (int j = 1; j <= 6; ++j) out += "," + (prefix + std::to_string(j));
    }
    out += "\n";
    for (std::size_t i = 0; i < trajectory.time.size(); ++i) {
        out += format_shortest(trajectory.time[i]);
        for (const auto* rows : {&trajectory.joints, &trajectory.velocity, &trajectory.acceleration}) {
            for (const double v : (*rows)[i]) out += "," + format_shortest(v);
        }
        out += "\n";
    }
    return out;
}

}  // namespace ortholink

// Time per pose of the core inverse kinematics along the two straight lines of
// the path benchmark (CRX-10iA, 400 mm along base Y at a fixed orientation):
// "down" from J = 0, 10, -20, 0, -70, 0 (the flange pointing straight down,
// where every pose has a double root of the circle residual) and "tilted"
// from J = 10, 20, -10, 30, -60, 40.
//
//   ik_line_bench [waypoints] [repetitions]
//
// Each pose is solved once untimed, then timed `repetitions` times in a row;
// the fastest run of each pose is kept (it filters out interruptions by other
// processes), and their mean and median are printed with the solution count.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ortholink/fk.hpp"
#include "ortholink/ik.hpp"

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 5;
    if (count < 2 || repetitions < 1) {
        std::fprintf(stderr, "usage: ik_line_bench [waypoints >= 2] [repetitions >= 1]\n");
        return 2;
    }
    const ortholink::Crx robot = ortholink::Crx::new_10ia();
    const struct {
        const char* name;
        ortholink::JointVector start;
    } lines[] = {{"down", {0.0, 10.0, -20.0, 0.0, -70.0, 0.0}}, {"tilted", {10.0, 20.0, -10.0, 30.0, -60.0, 40.0}}};
    std::size_t sink = 0;
    for (const auto& line : lines) {
        const ortholink::Pose start = ortholink::fk(robot, line.start);
        std::vector<double> best(count);
        std::size_t solutions = 0;
        for (std::size_t i = 0; i < count; ++i) {
            ortholink::Pose target = start;
            target.t[1] += -200.0 + 400.0 * static_cast<double>(i) / static_cast<double>(count - 1);
            solutions += ortholink::ik(robot, target).size();
            double fastest = 1e30;
            for (int r = 0; r < repetitions; ++r) {
                const auto t0 = std::chrono::steady_clock::now();
                sink += ortholink::ik(robot, target).size();
                const auto t1 = std::chrono::steady_clock::now();
                fastest = std::min(fastest, std::chrono::duration<double, std::micro>(t1 - t0).count());
            }
            best[i] = fastest;
        }
        double total = 0.0;
        for (const double b : best) {
            total += b;
        }
        std::sort(best.begin(), best.end());
        std::printf("%-7s %zu poses, %.2f solutions each: mean %.2f us, median %.2f us (best of %d)\n", line.name,
                    count, static_cast<double>(solutions) / static_cast<double>(count),
                    total / static_cast<double>(count), best[count / 2], repetitions);
    }
    return sink == 0 ? 1 : 0;
}

// zq-sim: a simulated u-blox receiver on a pseudo-terminal. See tools/README.md for the options,
// the control commands and the ground-truth lines it writes.
#include "options.hpp"
#include "sim.hpp"

int main(int argc, char** argv) {
    zqsim::Sim sim(zqsim::parse_options(argc, argv));
    return sim.run();
}

// Time of Qd_MacIntf::lookCer on a simulated key with 8 containers, each
// holding a signing and an encryption certificate. Prints figures; not a test.
//   build/bin/kelvane_bench_lookcer [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../tests/core_support.h"
#include "Qd_MacIntf.h"
#include "alert.h"

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    kpsim::testing::SimulatedKeys sim;  // fresh KEYSIM_DIR, QD_TOKEN_LIBRARY -> simulator
    if (Func_Init(kpsim::testing::libraryPath().c_str()) != 0) {
        std::fprintf(stderr, "cannot load the token simulator\n");
        return 1;
    }
    if (coretest::keysim({"create", "bench"}) != 0) {
        std::fprintf(stderr, "keysim create failed\n");
        return 1;
    }
    coretest::keysim({"plug", "bench"});
    for (int i = 1; i <= 8; ++i) {
        const std::string con = "container" + std::to_string(i);
        for (const char* spec : {"sign", "enc"}) {
            const std::string file = coretest::writeFile(
                sim.dir(), con + spec + ".der",
                coretest::makeCert(std::string(spec) + " user " + std::to_string(i), "Bench CA"));
            if (coretest::keysim({"import", "bench", con, spec, file}) != 0) {
                std::fprintf(stderr, "keysim import failed\n");
                return 1;
            }
        }
    }

    std::vector<double> ms;
    size_t records = 0;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        Qd_MacIntf intf;
        const auto list = intf.lookCer();
        const auto t1 = std::chrono::steady_clock::now();
        records = list ? static_cast<size_t>(list->size()) : 0;
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "lookCer, 8 containers, %zu certificates, %d rounds: min %.2f ms, median %.2f ms, max %.2f ms\n",
        records, rounds, ms.front(), ms[ms.size() / 2], ms.back());
    return records == 16 ? 0 : 1;
}

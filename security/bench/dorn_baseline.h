// The yardstick of the password field's benchmarks: dornEncrypt mode 0 alone
// on the field's text, and a reporter that keeps each case's CPU time per
// iteration (other work on the machine weighs less than in real time; the
// median where a case repeats) for the ratios a benchmark prints at the end.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "security/deployment.h"
#include "security/security.h"

namespace dornbench {

inline void encryptMode0(benchmark::State& state, const char* text) {
    const EncryptionKeys keys{SECURITY_DEFAULT_APPLICATION_KEY, nullptr};
    for (auto _ : state) {
        char* out = nullptr;
        dornEncrypt(0, &keys, &out, text, "0");
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
}

class TimesReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const std::string& args = run.run_name.args;
            nanos_[run.run_name.function_name + (args.empty() ? "" : "/" + args)] =
                run.GetAdjustedCPUTime() * (run.time_unit == benchmark::kMicrosecond ? 1e3 : 1.0);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // Nanoseconds per iteration of a case by its name and arguments
    // ("BM_Verify/hostile_pattern/64"); 0 when it did not run.
    double nanos(const std::string& name) const {
        const auto found = nanos_.find(name);
        return found == nanos_.end() ? 0 : found->second;
    }

private:
    std::map<std::string, double> nanos_;
};

}  // namespace dornbench

// The password field host's own share of a getValue request (read the
// request, type the text through the engine, verify, encrypt, answer, wipe)
// against dornEncrypt mode 0 alone on the same text; goal: within 1.3 times.
// The host's allocator wipes every block it frees, as in varnex-bridge.
// Run: build/bin/field_bench (not part of the tests).
#include <cstdio>
#include <string>

#include "bridge/field/session.h"
#include "security/bench/dorn_baseline.h"

namespace {

constexpr const char* kPassword = "P4ssw0rd_2024";

// A host session with field 1 made, as a page's first request makes it.
bool createField(bridge::field::Session& session) {
    bridge::Frame create{bridge::Frame::Kind::Message,
                         R"({"id":1,"origin":"https://bank.example","field":1,"create":{"maxlength":"20"}})",
                         0};
    return session.answer(create).find("\"listed\"") != std::string::npos;
}

// One call of the page's field, with the typed text, again and again.
void askAgain(benchmark::State& state, const char* call) {
    bridge::field::Session session{bridge::AllowList(std::vector<std::string>{})};
    if (!createField(session)) state.SkipWithError("create failed");
    const std::string request = std::string(R"({"id":2,"origin":"https://bank.example","field":1,"call":")") +
                                call + R"(","args":[],"text":")" + kPassword + "\"}";
    for (auto _ : state) {
        bridge::Frame frame{bridge::Frame::Kind::Message, request, static_cast<uint32_t>(request.size())};
        std::string reply = session.answer(frame);
        if (reply.find("\"result\"") == std::string::npos) state.SkipWithError(reply.c_str());
        benchmark::DoNotOptimize(reply);
    }
}

void BM_HostGetValue(benchmark::State& state) { askAgain(state, "getValue"); }
BENCHMARK(BM_HostGetValue)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

// The host's share without the encryption: what a verify request costs.
void BM_HostVerify(benchmark::State& state) { askAgain(state, "verify"); }
BENCHMARK(BM_HostVerify)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_DornEncryptMode0(benchmark::State& state) { dornbench::encryptMode0(state, kPassword); }
BENCHMARK(BM_DornEncryptMode0)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    dornbench::TimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double host = reporter.nanos("BM_HostGetValue"), mode0 = reporter.nanos("BM_DornEncryptMode0");
    if (host > 0 && mode0 > 0)
        std::printf("\nhost getValue %.1f us / dornEncrypt mode 0 %.1f us = %.2f (goal <= 1.3): %s\n",
                    host / 1e3, mode0 / 1e3, host / mode0, host / mode0 <= 1.3 ? "met" : "NOT met");
    benchmark::Shutdown();
    return 0;
}

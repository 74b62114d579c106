// What a user and a page pay in the password field, through the test host:
//   keystroke at 255 characters, handled and drawn (the host redraws as a
//     browser does after each key);
//   Verify on 255 characters, with the default pattern and with a hostile
//     page pattern (goal: under 1 ms, growing linearly with the text);
//   getValue against dornEncrypt mode 0 alone on the same text (goal: within
//     1.3 times).
// Run: build/bin/varnex_bench (not part of the tests). Prints the ratio.
#include <benchmark/benchmark.h>

#include <QString>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "CPluginImplement.h"
#include "identity.h"
#include "np_entry.h"
#include "passwordfield/plugin_hooks.h"
#include "plugin.h"
#include "security/bench/dorn_baseline.h"
#include "sim/browser/npbrowser.h"

namespace {

struct Page {
    npbrowser::Browser browser;
    std::unique_ptr<npbrowser::Instance> field;
    CPluginImplement* impl = nullptr;

    explicit Page(std::vector<std::pair<std::string, std::string>> params) {
        std::string error;
        if (!browser.attach(NP_Initialize, NP_GetEntryPoints, NP_Shutdown, NP_GetValue, &error)) {
            std::cerr << error << "\n";
            std::exit(1);
        }
        field = browser.newInstance(kPluginIdentity.mimeType, params, nullptr);
        field->setWindow(220, 30);
        impl = GetImplement(field->npp());
        field->focus(true);
        field->click(10, 15);
    }
};

void BM_KeystrokeAt255(benchmark::State& state) {
    Page page({{"width", "220"}, {"height", "30"}, {"maxlength", "300"}});
    page.field->typeText(QString(254, 'a'));
    const QString a("a"), backspace(QChar(127));
    for (auto _ : state) {
        page.field->keyDown(a);          // 255 characters, drawn
        page.field->keyDown(backspace);  // back to 254, drawn
    }
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(BM_KeystrokeAt255)->Unit(benchmark::kMicrosecond);

void BM_Verify(benchmark::State& state, const char* pattern, char fill) {
    Page page({{"width", "220"}, {"height", "30"}, {"accepts", pattern}, {"minlength", "1"}});
    page.field->typeText(QString(static_cast<int>(state.range(0)), QChar(fill)));
    int16_t code = 0;
    for (auto _ : state) {
        code = page.impl->Verify();
        benchmark::DoNotOptimize(code);
    }
    state.counters["code"] = code;
}
BENCHMARK_CAPTURE(BM_Verify, default_pattern, "\\w{0,}", 'a')
    ->Arg(64)
    ->Arg(128)
    ->Arg(255)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Verify, hostile_pattern, "(a|aa)*b", 'a')
    ->Arg(64)
    ->Arg(128)
    ->Arg(255)
    ->Unit(benchmark::kMicrosecond);

const char* kPassword = "P4ssw0rd_2024";

void BM_GetValue(benchmark::State& state) {
    Page page({{"width", "220"}, {"height", "30"}});
    page.field->typeText(kPassword);
    page.field->setAutoRedraw(false);
    for (auto _ : state) {
        char* out = page.impl->getValue();
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
}
BENCHMARK(BM_GetValue)->Unit(benchmark::kMicrosecond);

void BM_DornEncryptMode0(benchmark::State& state) { dornbench::encryptMode0(state, kPassword); }
BENCHMARK(BM_DornEncryptMode0)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    npbrowser::ensureApplication();
    benchmark::Initialize(&argc, argv);
    dornbench::TimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double getValue = reporter.nanos("BM_GetValue"), mode0 = reporter.nanos("BM_DornEncryptMode0");
    if (getValue > 0 && mode0 > 0)
        std::printf("\ngetValue / dornEncrypt mode 0: %.2f (goal <= 1.3)\n", getValue / mode0);
    const double v64 = reporter.nanos("BM_Verify/hostile_pattern/64"),
                 v255 = reporter.nanos("BM_Verify/hostile_pattern/255");
    if (v64 > 0 && v255 > 0)
        std::printf(
            "Verify with (a|aa)*b: %.1f us at 255 characters, %.2f x the time at 64 characters\n"
            "(matching is linear in the text; the pattern is compiled once per field)\n",
            v255 / 1e3, v255 / v64);
    benchmark::Shutdown();
    return 0;
}

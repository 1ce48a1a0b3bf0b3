#include "port_test_support.h"
#include "rewrite_rules.h"
#include "wire_format.h"

#include <benchmark/benchmark.h>

namespace keyflip {
namespace {

using testing_support::PlainSettings;

void BM_RewriteRules(benchmark::State& state) {
    PlainSettings settings;
    settings.transpose = 2;
    settings.reverse = true;
    ShortMessage message{144, 60, 100};
    for (auto _ : state) {
        benchmark::DoNotOptimize(message);
        ShortMessage out = rewrite(message, settings);
        benchmark::DoNotOptimize(out);
        message.data1 = static_cast<std::int16_t>((message.data1 + 1) & 63);
    }
}
BENCHMARK(BM_RewriteRules);

void BM_EncodeShortMessage(benchmark::State& state) {
    ShortMessage message{144, 60, 100};
    for (auto _ : state) {
        benchmark::DoNotOptimize(message);
        auto wire = encodeShortMessage(message);
        benchmark::DoNotOptimize(wire);
    }
}
BENCHMARK(BM_EncodeShortMessage);

void BM_DecodeShortMessage(benchmark::State& state) {
    const std::uint8_t bytes[] = {0x90, 60, 100};
    for (auto _ : state) {
        auto message = decodeShortMessage(bytes);
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_DecodeShortMessage);

class NullDisplay : public MessageDisplay {
public:
    void setStatusText(std::string_view text) override { benchmark::DoNotOptimize(text.data()); }
    void setData1Text(std::string_view text) override { benchmark::DoNotOptimize(text.data()); }
    void setData2Text(std::string_view text) override { benchmark::DoNotOptimize(text.data()); }
};

// One pump run over a batch of messages through in-memory ports; the figure
// is per message.
void BM_PumpInMemoryPorts(benchmark::State& state) {
    const auto batch = static_cast<int>(state.range(0));
    InMemoryBackend backend;
    MidiInputPort input(backend);
    MidiOutputPort output(backend);
    input.deviceCount();
    input.setDeviceIndex(0);
    input.setPortCommand(PORT_OPEN);
    input.setPortCommand(PORT_START);
    output.setDeviceIndex(-1);
    output.setPortCommand(PORT_OPEN);
    output.setPortCommand(PORT_START);
    PlainSettings settings;
    settings.transpose = 2;
    NullDisplay display;
    MessagePump pump(input, output, settings, display);
    for (auto _ : state) {
        state.PauseTiming();
        backend.clearSent();
        for (int i = 0; i < batch; ++i) {
            backend.deliver(ShortMessage{static_cast<std::int16_t>(i % 2 ? 128 : 144),
                                         static_cast<std::int16_t>(i % 100), 90});
        }
        state.ResumeTiming();
        pump.run();
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_PumpInMemoryPorts)->Arg(1)->Arg(64);

}  // namespace
}  // namespace keyflip

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

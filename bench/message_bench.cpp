#include "in_memory_backend.h"
#include "main_window.h"
#include "message_pump.h"
#include "midi_port.h"
#include "port_commands.h"
#include "program_host.h"
#include "rewrite_rules.h"
#include "setup_dialog.h"
#include "wire_format.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>

#include <benchmark/benchmark.h>

namespace keyflip {
namespace {

// Settings a benchmark sets directly.
struct PlainSettings : RewriteSettings {
    std::int16_t transpose = 0;
    bool reverse = false;
    std::int16_t wheel = 64;
    std::int16_t transposeAmount() const override { return transpose; }
    bool reverseFlag() const override { return reverse; }
    std::int16_t wheelNote() const override { return wheel; }
};

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

// Transpose 0 and reverse off, as in the latency runs.
void BM_RewriteRulesPassThrough(benchmark::State& state) {
    PlainSettings settings;
    ShortMessage message{144, 60, 100};
    for (auto _ : state) {
        benchmark::DoNotOptimize(message);
        ShortMessage out = rewrite(message, settings);
        benchmark::DoNotOptimize(out);
        message.data1 = static_cast<std::int16_t>((message.data1 + 1) & 63);
    }
}
BENCHMARK(BM_RewriteRulesPassThrough);

// The same with the settings behind a pointer the compiler cannot see
// through, as the main window's are: three indirect calls per message.
void BM_RewriteRulesOpaqueSettings(benchmark::State& state) {
    PlainSettings plain;
    plain.transpose = 2;
    plain.reverse = true;
    const RewriteSettings* settings = &plain;
    ShortMessage message{144, 60, 100};
    for (auto _ : state) {
        benchmark::DoNotOptimize(settings);
        benchmark::DoNotOptimize(message);
        ShortMessage out = rewrite(message, *settings);
        benchmark::DoNotOptimize(out);
        message.data1 = static_cast<std::int16_t>((message.data1 + 1) & 63);
    }
}
BENCHMARK(BM_RewriteRulesOpaqueSettings);

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
        backend.log().clear();
        for (int i = 0; i < batch; ++i) {
            backend.deliver(ShortMessage{static_cast<std::int16_t>(i % 2 ? 128 : 144),
                                         static_cast<std::int16_t>(i % 100), 90});
        }
        state.ResumeTiming();
        pump.run();
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_PumpInMemoryPorts)->Arg(1)->Arg(64)->Arg(1024);

// Leaves MIDI Setup with Ok on the first devices, never blocking.
class OkHost : public ProgramHost {
public:
    void showModal(MIDISetupForm& form) override { form.CmdOk->click(); }
    void showMessage(QWidget*, BoxKind, const QString&, const QString&) override {}
    void endProgram(int) override {}
};

// The main window shown on the offscreen platform, its ports open on
// in-memory devices and "go" clicked.
struct ShownWindow {
    ShownWindow() {
        backend.setSources({"Keys"});
        backend.setDestinations({"Synth"});
        form.show();
        form.Command1->click();
        QCoreApplication::processEvents();
    }
    // Queues a Note On or Note Off (by parity) on key number % 100.
    void deliver(int number) {
        backend.deliver(ShortMessage{static_cast<std::int16_t>(number % 2 ? 128 : 144),
                                     static_cast<std::int16_t>(number % 100), 90});
    }
    InMemoryBackend backend;
    OkHost host;
    frmMain form{backend, host};
};

// The same pump run through the real main window, so writing the three boxes
// is counted. Repaints happen between runs, as they do in the program between
// wake-ups.
void BM_PumpRealWindow(benchmark::State& state) {
    const auto batch = static_cast<int>(state.range(0));
    ShownWindow window;
    for (auto _ : state) {
        state.PauseTiming();
        // Repaints and the wake-ups of the last batch, before this one is queued.
        QCoreApplication::processEvents();
        window.backend.clearSent();
        window.backend.log().clear();
        for (int i = 0; i < batch; ++i) {
            window.deliver(i);
        }
        state.ResumeTiming();
        window.form.MIDIInput1_Message();
    }
    if (window.backend.sent().size() != static_cast<std::size_t>(batch)) {
        state.SkipWithError("the window did not pass the batch on");
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_PumpRealWindow)->Arg(1)->Arg(64)->Arg(1024);

// The repaint that follows a message: the boxes whose text changed, drawn and
// flushed. A message arriving meanwhile waits for it.
void BM_RepaintAfterMessage(benchmark::State& state) {
    ShownWindow window;
    int number = 0;
    for (auto _ : state) {
        state.PauseTiming();
        window.backend.clearSent();
        window.backend.log().clear();
        // Status and key change every time, as when a player plays.
        window.deliver(number++);
        window.form.MIDIInput1_Message();
        state.ResumeTiming();
        QCoreApplication::processEvents();
    }
}
BENCHMARK(BM_RepaintAfterMessage);

}  // namespace
}  // namespace keyflip

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

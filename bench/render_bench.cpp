// Mix render cost: N playing stereo decks of 44.1 kHz tracks on a 48 kHz
// stream, fades running, 256-frame buffers. Reports nanoseconds per
// deck-frame and the share of the 5.333 ms buffer budget.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "decks/deck_registry.hpp"
#include "decks/mix_render.hpp"
#include "decks/transport.hpp"

namespace velmora {
namespace {

constexpr std::uint32_t kFrames = 256;
constexpr int kStreamRate = 48000;

PcmBufferPtr makeTrack(int seconds, double frequency) {
    auto pcm = std::make_shared<PcmBuffer>();
    pcm->sampleRate = 44100;
    pcm->channels = 2;
    pcm->samples.resize(static_cast<std::size_t>(seconds) * 44100 * 2);
    for (std::size_t f = 0; f < pcm->samples.size() / 2; ++f) {
        const float v = static_cast<float>(0.2 * std::sin(2 * std::numbers::pi * frequency * f / 44100.0));
        pcm->samples[2 * f] = v;
        pcm->samples[2 * f + 1] = -v;
    }
    return pcm;
}

void mixRender(benchmark::State& state, bool vector) {
    setVectorRender(vector);
    const int deckCount = static_cast<int>(state.range(0));
    ReclaimDomain domain;
    DeckRegistry registry(domain);
    std::vector<PcmBufferPtr> tracks;
    for (int i = 0; i < 8; ++i) tracks.push_back(makeTrack(60, 220.0 + 55.0 * i));
    for (int d = 0; d < deckCount; ++d) {
        Deck& deck = registry.findOrCreateDeck("deck" + std::to_string(d), "standard", "default");
        applyLoadedTrack(deck, {}, tracks[d % tracks.size()], nullptr, "", "standard");
        applyPlay(deck, true, "");
        registry.publishDeck(deck, kPublishAll);
    }
    registry.rebuildMixList(2);

    RenderContext context;
    context.streamSampleRate = kStreamRate;
    std::atomic<std::uint64_t> drops{0}, engaged{0};
    context.callbackDropCount = &drops;
    context.limiterEngagedCount = &engaged;
    std::vector<float> out(kFrames * 2);
    std::uint64_t clock = 0;
    std::uint64_t buffers = 0;
    for (auto _ : state) {
        // Keep fades running on every deck, and loop the tracks.
        if (buffers % 200 == 0) {
            state.PauseTiming();
            for (auto& [id, deck] : registry.decks()) {
                registry.pullDeckRuntime(deck);
                unsigned groups = applyFade(deck, 2000, (buffers / 200) % 2 ? 1.0 : 0.2, kStreamRate, clock);
                if (deck.state.positionSeconds > 50.0) groups |= applySeek(deck, 0.0, nullptr);
                registry.publishDeck(deck, groups);
            }
            domain.collect();
            state.ResumeTiming();
        }
        {
            RenderPassScope pass(domain);
            renderMix(context, registry.loadMixList(), kFrames, out.data(), 2, clock);
        }
        benchmark::DoNotOptimize(out.data());
        clock += kFrames;
        ++buffers;
    }
    const double deckFrames = static_cast<double>(std::max(deckCount, 1)) * kFrames;
    // Seconds per deck-frame (printed with an SI prefix: "2.5n" is 2.5 ns),
    // and the percentage of the buffer period one render takes.
    state.counters["per_deck_frame"] = benchmark::Counter(
        deckFrames * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["budget_percent"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * (kFrames * 1.0 / kStreamRate) / 100.0,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    setVectorRender(true);
}

// The kernels chosen at run time (AVX2 where the CPU has it), and the
// portable ones.
void MixRender(benchmark::State& state) { mixRender(state, true); }
void MixRenderPortable(benchmark::State& state) { mixRender(state, false); }
BENCHMARK(MixRender)->Arg(0)->Arg(1)->Arg(8)->Arg(64)->Arg(256)->Unit(benchmark::kMicrosecond);
BENCHMARK(MixRenderPortable)->Arg(1)->Arg(64)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();

#pragma once
// Drives decks without an engine: a registry, the transport operations and
// the mix render, rendering into plain buffers.

#include <memory>
#include <string>
#include <vector>

#include "decks/deck_registry.hpp"
#include "decks/mix_render.hpp"
#include "decks/transport.hpp"

namespace velmora::test {

inline PcmBufferPtr makePcm(int sampleRate, int channels, std::vector<float> samples) {
    auto pcm = std::make_shared<PcmBuffer>();
    pcm->sampleRate = sampleRate;
    pcm->channels = channels;
    pcm->samples = std::move(samples);
    return pcm;
}

class DeckHarness {
public:
    explicit DeckHarness(int streamRate = 48000, int channels = 2) : channels_(channels) {
        context_.streamSampleRate = streamRate;
        context_.callbackDropCount = &drops;
        context_.limiterEngagedCount = &limiterEngaged;
    }

    Deck& deck(const std::string& id) { return registry_.findOrCreateDeck(id, "standard", "default"); }

    Deck& load(const std::string& id, PcmBufferPtr pcm, TrackDescriptor track = {}) {
        Deck& d = deck(id);
        registry_.publishDeck(d, applyLoadedTrack(d, track, std::move(pcm), nullptr, "", "standard"));
        registry_.rebuildMixList(channels_);
        return d;
    }
    Deck& loadSource(const std::string& id, StreamingSourcePtr source, TrackDescriptor track = {}) {
        Deck& d = deck(id);
        registry_.publishDeck(d, applyLoadedTrack(d, track, nullptr, std::move(source), "", "standard"));
        registry_.rebuildMixList(channels_);
        return d;
    }
    void play(const std::string& id) {
        Deck& d = pulled(id);
        registry_.publishDeck(d, applyPlay(d, true, ""));
    }
    // Applies an operation to the record (pulled first) and publishes it.
    template <typename Op>
    void apply(const std::string& id, Op op) {
        Deck& d = pulled(id);
        const unsigned groups = op(d);
        if (groups != kNoPublish) registry_.publishDeck(d, groups);
    }
    Deck& pulled(const std::string& id) {
        Deck& d = deck(id);
        registry_.pullDeckRuntime(d);
        return d;
    }
    void setLimiter(bool enabled, double ceiling) {
        context_.limiterEnabled = enabled;
        context_.limiterCeiling = ceiling;
    }

    // Renders `frames` frames (in buffers of at most `bufferFrames`) and
    // returns the interleaved output.
    std::vector<float> render(std::uint32_t frames, std::uint32_t bufferFrames = 256) {
        std::vector<float> all;
        std::vector<float> buffer(static_cast<std::size_t>(bufferFrames) * channels_);
        while (frames > 0) {
            const std::uint32_t n = std::min(frames, bufferFrames);
            {
                RenderPassScope pass(domain_);
                renderMix(context_, registry_.loadMixList(), n, buffer.data(), channels_, frameClock);
            }
            frameClock += n;
            all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<long>(n) * channels_);
            frames -= n;
        }
        domain_.collect();
        return all;
    }

    DeckRegistry& registry() { return registry_; }
    int channels() const { return channels_; }

    std::atomic<std::uint64_t> drops{0};
    std::atomic<std::uint64_t> limiterEngaged{0};
    std::uint64_t frameClock = 0;

private:
    ReclaimDomain domain_;
    DeckRegistry registry_{domain_};
    RenderContext context_;
    int channels_;
};

}  // namespace velmora::test

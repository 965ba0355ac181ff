// Compiled with tsc only: every function with the request shapes it accepts.
import * as engine from '../../index';
import type { DeckState, RuntimeInfo, StreamHealth, DeviceInfo } from '../../index';

const config = engine.initialize({ backend: 'asio', bufferSize: 128 });
const sampleRate: number = config.sampleRate;
engine.initialize();
engine.initialize(null);
const devices: DeviceInfo[] = engine.getDevices({ backend: 'standard' });
const backend: 'standard' | 'asio' = devices[0].backend;
const shared: boolean = devices[0].supportedSampleRates === devices[0].asioSupportedSampleRates;

const created: DeckState = engine.createDeck({ deckId: 'a' });
const removed: boolean = engine.deleteDeck({ deckId: 'a' });
engine.assignDeckOutput({ deckId: 'a', assignment: { channelOffset: 2 } });
const loaded = engine.loadTrack({ deckId: 'a', track: { path: 'x.wav', cueIn: 1 } });
engine.loadTrack({ deckId: 'a', track: null });
const trackId: string | undefined = loaded.track?.id;
const info: RuntimeInfo = engine.getRuntimeInfo();
const health: StreamHealth = info.streamHealth;
engine.play({ deckId: 'a' });
engine.pause({});
engine.stop({ deckId: 'a', options: { resetPosition: false } });
engine.seek({ deckId: 'a', seconds: 3 });
engine.setDeckVolume({ deckId: 'a', volume: 0.5 });
engine.setTrackGain({ deckId: 'a', gain: 2 });
engine.updateTrack({ deckId: 'a', track: { cueOut: 4 }, options: { preservePosition: false } });
engine.fadeTo({ deckId: 'a', durationMs: 250, targetVolume: 0 });
const peakL: number = engine.getDeckState({ deckId: 'a' }).meter.peakL;
engine.shutdown();

async function jobs(): Promise<void> {
  const prepared = await engine.prepareTrack({ track: { path: 'x.wav' } });
  const waveform = await engine.analyzeWaveform({ track: { path: 'x.wav' }, options: { maxPoints: 600 } });
  const trim = await engine.analyzeTrim({ track: {}, options: { windowMs: 20 } });
  const amp: number = waveform.peaks[0].amp;
  void [prepared.ok, trim.cueInSeconds, amp];
}

// Returned records are read-only.
// @ts-expect-error
created.deckVolume = 2;
// @ts-expect-error
engine.setDeckVolume({ deckId: 'a', volume: '0.5' });
// @ts-expect-error
const wrongHealth: StreamHealth = 'healthy';

void [sampleRate, backend, shared, removed, trackId, health, peakL, jobs, wrongHealth];

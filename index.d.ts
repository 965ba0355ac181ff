// Typings for the native audio engine. Requests take partial objects: a field
// that is missing or of the wrong type takes its default.

/** Engine configuration passed to `initialize`. */
export interface EngineConfigRequest {
  /** `'asio'` (exactly, lowercase) selects ASIO; anything else the standard host APIs. Default `'standard'`. */
  backend?: string;
  /** Raised to 8000 when lower. Default 48000. */
  sampleRate?: number;
  /** Frames per buffer; raised to 64 (standard) or 1 (ASIO), lowered to 65536. Default 256. */
  bufferSize?: number;
  /** A device `id` from `getDevices`, `'default'` or `''` for the default output. Default `'default'`. */
  deviceId?: string;
  /** Count a callback as overloaded from 75 % of its budget instead of 90 %. Default `false`. */
  showCriticalMode?: boolean;
  /** Default `true`. */
  masterLimiterEnabled?: boolean;
  /** Linear ceiling, clamped to 0.5..0.9999. Default 0.98. */
  masterLimiterCeiling?: number;
}

/** The effective configuration returned by `initialize`. */
export interface EngineConfig {
  readonly backend: string;
  readonly sampleRate: number;
  readonly bufferSize: number;
  readonly deviceId: string;
  readonly showCriticalMode: boolean;
  readonly masterLimiterEnabled: boolean;
  readonly masterLimiterCeiling: number;
}

/** A track as the application describes it; times in seconds. */
export interface TrackDescriptor {
  /** Default `''`. */
  id?: string;
  /** UTF-8 file path. Default `''`. */
  path?: string;
  /** Default `''`. */
  name?: string;
  /** Known length; 480 s or more means the track is streamed. Default 0. */
  duration?: number;
  /** Default 0. */
  cueIn?: number;
  /** 0 or less: play to the end. Default 0. */
  cueOut?: number;
}

/** The descriptor as a deck reports it back. */
export interface TrackInfo {
  readonly id: string;
  readonly path: string;
  readonly name: string;
  readonly duration: number;
  readonly cueIn: number;
  readonly cueOut: number;
}

export interface OutputAssignmentRequest {
  /** Default `'default'`. */
  deviceId?: string;
  /** First output channel, 0-based; int32, negative values stored as 0. Default 0. */
  channelOffset?: number;
  /** 1 for mono, 2 or more for a stereo pair; int32, stored as at least 1. Default 2. */
  channelCount?: number;
}

export interface OutputAssignment {
  readonly deviceId: string;
  readonly channelOffset: number;
  readonly channelCount: number;
}

export interface Meter {
  readonly peakL: number;
  readonly peakR: number;
  readonly rmsL: number;
  readonly rmsR: number;
}

export interface DeckState {
  readonly deckId: string;
  readonly loaded: boolean;
  readonly playing: boolean;
  readonly paused: boolean;
  readonly positionSeconds: number;
  readonly durationSeconds: number;
  /** Linear, 0..5. */
  readonly deckVolume: number;
  /** Linear, 0..5. */
  readonly trackGain: number;
  /** Post-fader level of the last rendered buffer. */
  readonly meter: Meter;
  /** Track level before the deck fader. */
  readonly trackMeter: Meter;
  readonly backend: string;
  /** Empty after a success. */
  readonly lastError: string;
  readonly output: OutputAssignment;
  /** `null` exactly when the deck holds no descriptor. */
  readonly track: TrackInfo | null;
}

export interface DeviceInfo {
  readonly id: string;
  readonly name: string;
  readonly channels: number;
  readonly isDefault: boolean;
  readonly backend: 'standard' | 'asio';
  readonly hostApiName: string;
  readonly isAsio: boolean;
  readonly defaultSampleRate: number;
  readonly defaultLowOutputLatencyMs: number;
  readonly defaultHighOutputLatencyMs: number;
  /** The same array object as `asioSupportedSampleRates`. */
  readonly supportedSampleRates: number[];
  /** The same array object as `supportedSampleRates`. */
  readonly asioSupportedSampleRates: number[];
  readonly asioMinBufferSize: number;
  readonly asioMaxBufferSize: number;
  readonly asioPreferredBufferSize: number;
  readonly asioGranularity: number;
}

export type StreamHealth = 'stopped' | 'error' | 'warning' | 'ok' | 'unknown';

export interface RuntimeInfo {
  readonly streamOpen: boolean;
  readonly streamActive: boolean;
  readonly streamStopped: boolean;
  readonly usingCallbackStream: boolean;
  /** `'none'` until the first `initialize`. */
  readonly activeBackend: string;
  readonly activeDeviceId: string;
  readonly activeHostApiName: string;
  readonly activeDeviceName: string;
  /** Output channels the decks' assignments need (at least 2). */
  readonly channels: number;
  readonly sampleRate: number;
  /** Frames of the latest callback, else the requested size. */
  readonly bufferSize: number;
  readonly requestedBufferSize: number;
  readonly outputLatencyMs: number;
  readonly streamCpuLoadPercent: number;
  readonly xrunCount: number;
  readonly callbackDropCount: number;
  readonly streamHealth: StreamHealth;
  readonly callbackBudgetMs: number;
  readonly avgCallbackMs: number;
  readonly maxCallbackMs: number;
  /** 0..1000. */
  readonly audioThreadLoadPercent: number;
  readonly callbackOverloadCount: number;
  readonly limiterEngagedCount: number;
  readonly deviceRestartCount: number;
  readonly showCriticalMode: boolean;
  readonly masterLimiterEnabled: boolean;
  readonly masterLimiterCeiling: number;
  readonly lastError: string;
}

export interface PrepareResult {
  readonly ok: boolean;
  /** Empty when `ok` is true. */
  readonly message: string;
}

export interface WaveformPeak {
  readonly min: number;
  readonly max: number;
  readonly avg: number;
  readonly amp: number;
}

export interface WaveformResult {
  readonly ok: boolean;
  readonly message: string;
  readonly durationSeconds: number;
  readonly sampleRate: number;
  readonly channels: number;
  readonly peaks: readonly WaveformPeak[];
}

export interface TrimResult {
  readonly ok: boolean;
  readonly message: string;
  readonly cueInSeconds: number;
  readonly cueOutSeconds: number;
  readonly durationSeconds: number;
}

export interface DevicesRequest {
  /** `'asio'` lists ASIO devices; anything else the standard ones. Default `'standard'`. */
  backend?: string;
}

export interface DeckRequest {
  /** Only a string names a deck; anything else means the deck `''`. Default `''`. */
  deckId?: string;
}

export interface AssignDeckOutputRequest extends DeckRequest {
  assignment?: OutputAssignmentRequest;
}

export interface TrackRequest {
  track?: TrackDescriptor | null;
}

export interface LoadTrackRequest extends DeckRequest, TrackRequest {}

export interface StopRequest extends DeckRequest {
  options?: {
    /** Return to the track's cueIn. Default `true`. */
    resetPosition?: boolean;
  };
}

export interface SeekRequest extends DeckRequest {
  /** Clamped to the track; NaN counts as 0. Default 0. */
  seconds?: number;
}

export interface SetDeckVolumeRequest extends DeckRequest {
  /** Linear, clamped to 0..5; NaN counts as 0. Default 1. */
  volume?: number;
}

export interface SetTrackGainRequest extends DeckRequest {
  /** Linear, clamped to 0..5; NaN counts as 0. Default 1. */
  gain?: number;
}

export interface UpdateTrackRequest extends DeckRequest, TrackRequest {
  options?: {
    /** Default `true`. */
    preservePosition?: boolean;
    /** Default `true`. */
    preservePlaybackState?: boolean;
  };
}

export interface FadeToRequest extends DeckRequest {
  /** Read as an int32 (fraction dropped, modulo 2^32, NaN 0); 0 or less sets the volume at once. Default 0. */
  durationMs?: number;
  /** Linear, clamped to 0..5. Default 0. */
  targetVolume?: number;
}

export interface AnalyzeWaveformRequest extends TrackRequest {
  options?: {
    /** Number of buckets, int32; at most 1,048,576 buckets. Default 1200. */
    maxPoints?: number;
  };
}

export interface AnalyzeTrimRequest extends TrackRequest {
  options?: {
    /** Default 0.3. */
    postRollSec?: number;
    /** Default 0.3. */
    preRollSec?: number;
    /** Default 10. */
    windowMs?: number;
  };
}

/** Opens the output; never throws for device reasons (see `getRuntimeInfo`). Restarts a running engine. */
export function initialize(config?: EngineConfigRequest | null): EngineConfig;
/** Stops the engine threads, closes the stream and removes every deck. */
export function shutdown(): void;
export function getDevices(options?: DevicesRequest | null): DeviceInfo[];
/** Returns the existing deck unchanged when the id is taken. */
export function createDeck(request: DeckRequest): DeckState;
/** `true` when a deck was removed. */
export function deleteDeck(request: DeckRequest): boolean;
export function assignDeckOutput(request: AssignDeckOutputRequest): DeckState;
/** Decodes the file; a failure shows as `loaded` false with `lastError`. */
export function loadTrack(request: LoadTrackRequest): DeckState;
/** Arguments are ignored. */
export function getRuntimeInfo(...ignored: unknown[]): RuntimeInfo;
/** Refused (with `lastError`) while no stream is open or nothing is loaded. */
export function play(request: DeckRequest): DeckState;
export function pause(request: DeckRequest): DeckState;
export function stop(request: StopRequest): DeckState;
export function seek(request: SeekRequest): DeckState;
export function setDeckVolume(request: SetDeckVolumeRequest): DeckState;
export function setTrackGain(request: SetTrackGainRequest): DeckState;
/** Changes the descriptor and cues of the loaded audio; never loads audio. */
export function updateTrack(request: UpdateTrackRequest): DeckState;
export function fadeTo(request: FadeToRequest): DeckState;
/** An unknown id is answered with defaults and not created. */
export function getDeckState(request: DeckRequest): DeckState;
/** Decodes into the track cache ahead of `loadTrack`; always resolves. */
export function prepareTrack(request: TrackRequest): Promise<PrepareResult>;
/** Always resolves; failures in `ok` and `message`. */
export function analyzeWaveform(request: AnalyzeWaveformRequest): Promise<WaveformResult>;
/** Always resolves; failures in `ok` and `message`. */
export function analyzeTrim(request: AnalyzeTrimRequest): Promise<TrimResult>;

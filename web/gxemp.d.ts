// Types of gxemp.js, the web page's client of gxemp-bridge.

export const DEFAULT_URL: string;

export type GestureName =
  | 'EVENT_MOTION_SLAP_LEFT'
  | 'EVENT_MOTION_SLAP_RIGHT'
  | 'EVENT_MOTION_SLAP_UP'
  | 'EVENT_MOTION_SLAP_DOWN'
  | 'EVENT_MOTION_CIRCLE'
  | 'EVENT_MOTION_GRAB'
  | 'EVENT_MOTION_UNGRAB'
  | 'EVENT_MOTION_PRIMARY_HAND_LOST'
  | 'EVENT_MOTION_RAW_DATA'
  | 'EVENT_MOTION_BEGIN_MONITOR'
  | 'EVENT_MOTION_END_MONITOR';

export interface GxempEvent {
  /** Counts the events sent to this connection: a gap means some were dropped. */
  seq: number;
  /** 6511 for gestures, 6512 for face events. */
  code: number;
  name: string;
  /** The motion library's text, or the face record as JSON text. */
  payload: string;
}
export interface GestureEvent extends GxempEvent {
  code: 6511;
  name: GestureName;
}
export interface FaceEvent extends GxempEvent {
  code: 6512;
}

export interface State {
  /** The gesture camera's state (1: connected), null while unknown. */
  camera: number | null;
  /** The text-to-speech voice guide (1: on), null while unknown. */
  voiceGuide: number | null;
}

export interface Rights {
  commands: Array<'motion' | 'face' | 'speech'>;
  faces: boolean;
  background: boolean;
}

export interface Hello {
  protocol: number;
  service: string;
  limits: {
    maxMessageBytes: number;
    commandsInFlight: number;
    commandsPerSecond: number;
    queuedMessages: number;
  };
  state: State;
  focus: boolean;
  rights: Rights;
}

export interface CommandResult {
  served: boolean;
  /** Present when served: an integer or a text, as the command set it. */
  result?: number | string;
}

export interface Subscription {
  gestures?: GestureName[];
  faces?: boolean;
  background?: boolean;
}

export interface CloseInfo {
  code: number;
  reason: string;
  /** False after a policy close (or close()): the client gives up. */
  retrying: boolean;
}

export interface EventMap {
  event: GxempEvent;
  gesture: GestureEvent;
  face: FaceEvent;
  state: State;
  focus: boolean;
  dropped: number;
  open: Hello;
  close: CloseInfo;
  reconnecting: { attempt: number; delay: number };
}

export interface Options {
  /** Default ws://127.0.0.1:8790/bridge/v1. */
  url?: string;
  /** For a client that sends no Origin: the token of the bridge's token file. */
  token?: string;
  /** First and largest delay between reconnection attempts, in milliseconds (250, 10000). */
  minDelay?: number;
  maxDelay?: number;
  /** Connect at once (default true). */
  connect?: boolean;
  /** Stand-ins for the browser's, outside a browser. */
  WebSocket?: new (url: string) => {
    send(data: string): void;
    close(code?: number): void;
    onmessage: ((m: { data: string }) => void) | null;
    onclose: ((e: { code: number; reason?: string }) => void) | null;
  };
  document?: unknown;
  window?: unknown;
}

export class GxempError extends Error {
  /** The bridge's JSON-RPC error code, or 0 when the connection dropped first. */
  code: number;
}

export class Gxemp {
  constructor(options?: Options);
  readonly url: string;
  readonly state: State;
  readonly focus: boolean;
  readonly connected: boolean;
  readonly hello?: Hello;
  on<K extends keyof EventMap>(type: K, listener: (value: EventMap[K]) => void): () => void;
  command(name: string, ...args: Array<string | number>): Promise<CommandResult>;
  subscribe(subscription?: Subscription): Promise<Required<Subscription>>;
  readState(): Promise<State>;
  close(): void;
}

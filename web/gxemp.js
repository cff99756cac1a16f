// gxemp.js: a web page's client of gxemp-bridge (ES module, no dependencies).
//
//   import { Gxemp } from './gxemp.js';
//   const gx = new Gxemp();                       // ws://127.0.0.1:8790/bridge/v1
//   gx.on('gesture', (e) => console.log(e.name, e.payload));
//   await gx.subscribe({ gestures: ['EVENT_MOTION_SLAP_LEFT'] });
//   const { served, result } = await gx.command('IsTTSEngineEnabled');
//
// The connection comes back by itself: after a drop it retries with a growing delay (at once
// when the page becomes visible again or the network comes back), subscribes again as it was
// and reads the state anew. Commands pending when it drops are rejected, never resent: the
// page decides whether doing one twice is right. After a close for a policy reason (a refused
// token, a flood) it does not retry.

export const DEFAULT_URL = 'ws://127.0.0.1:8790/bridge/v1';

// Close codes after which retrying cannot help.
const FINAL_CLOSES = new Set([1002, 1003, 1008, 1009]);

export class GxempError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'GxempError';
    this.code = code;
  }
}

export class Gxemp {
  constructor(options = {}) {
    this.url = options.url ?? DEFAULT_URL;
    this.token = options.token;
    this.minDelay = options.minDelay ?? 250;
    this.maxDelay = options.maxDelay ?? 10000;
    this._WebSocket = options.WebSocket ?? globalThis.WebSocket;
    this._document = options.document ?? globalThis.document;
    this._window = options.window ?? globalThis.window;
    this.state = { camera: null, voiceGuide: null };
    this.focus = false;
    this.connected = false;
    this._listeners = new Map();
    this._pending = new Map();
    this._nextId = 1;
    this._subscription = null;
    this._delay = this.minDelay;
    this._attempt = 0;
    this._timer = null;
    this._ws = null;
    this._stopped = false;
    this._onVisibility = () => {
      this._reportVisibility();
      if (this._visible()) this._retryNow();
    };
    this._onFocus = () => this._reportVisibility();
    this._onOnline = () => this._retryNow();
    this._document?.addEventListener?.('visibilitychange', this._onVisibility);
    this._window?.addEventListener?.('focus', this._onFocus);
    this._window?.addEventListener?.('blur', this._onFocus);
    this._window?.addEventListener?.('online', this._onOnline);
    if (options.connect !== false) this._open();
  }

  // Listens for 'event' (every event), 'gesture', 'face', 'state', 'focus', 'dropped', 'open'
  // (the hello), 'close' ({code, reason, retrying}), 'reconnecting' ({attempt, delay}).
  // Returns a function that removes the listener.
  on(type, listener) {
    if (!this._listeners.has(type)) this._listeners.set(type, new Set());
    this._listeners.get(type).add(listener);
    return () => this._listeners.get(type)?.delete(listener);
  }

  // Runs a command of the plug-in: resolves to {served, result}; rejects with a GxempError
  // (its code: the bridge's error code, or 0 when the connection dropped first).
  command(name, ...args) {
    return this._request('command', { name, args: args.map(String) });
  }

  // What this page receives: gesture names, face events, and whether also while hidden (when its
  // origin may). Kept, and sent again after every reconnect.
  subscribe({ gestures = [], faces = false, background = false } = {}) {
    this._subscription = { gestures: [...gestures], faces, background };
    return this._request('subscribe', this._subscription);
  }

  // Reads the camera and voice-guide state now.
  async readState() {
    this._setState(await this._request('state'));
    return this.state;
  }

  close() {
    this._stopped = true;
    clearTimeout(this._timer);
    this._document?.removeEventListener?.('visibilitychange', this._onVisibility);
    this._window?.removeEventListener?.('focus', this._onFocus);
    this._window?.removeEventListener?.('blur', this._onFocus);
    this._window?.removeEventListener?.('online', this._onOnline);
    this._ws?.close(1000);
    this._dropped(new GxempError(0, 'closed'));
  }

  // -- inside -------------------------------------------------------------------------------

  _emit(type, value) {
    for (const listener of this._listeners.get(type) ?? []) {
      try {
        listener(value);
      } catch (e) {
        setTimeout(() => { throw e; });  // a listener's error must not break the others
      }
    }
  }

  _visible() {
    return !this._document || this._document.visibilityState !== 'hidden';
  }

  _focused() {
    return !this._document?.hasFocus || this._document.hasFocus();
  }

  _open() {
    clearTimeout(this._timer);
    this._timer = null;
    let ws;
    try {
      ws = new this._WebSocket(this.url);
    } catch (e) {
      this._closed(ws, { code: 1006, reason: String(e) });
      return;
    }
    this._ws = ws;
    ws.onmessage = (m) => this._message(ws, m.data);
    ws.onclose = (e) => this._closed(ws, e);
  }

  _send(message) {
    this._ws.send(JSON.stringify({ jsonrpc: '2.0', ...message }));
  }

  _request(method, params) {
    if (!this.connected) return Promise.reject(new GxempError(0, 'not connected'));
    const id = this._nextId++;
    return new Promise((resolve, reject) => {
      this._pending.set(id, { resolve, reject });
      this._send(params === undefined ? { id, method } : { id, method, params });
    });
  }

  _setState(state) {
    this.state = { camera: state?.camera ?? null, voiceGuide: state?.voiceGuide ?? null };
    this._emit('state', this.state);
  }

  _message(ws, data) {
    if (ws !== this._ws) return;
    let m;
    try {
      m = JSON.parse(data);
    } catch {
      return;
    }
    if (m.id !== undefined && m.id !== null && this._pending.has(m.id)) {
      const { resolve, reject } = this._pending.get(m.id);
      this._pending.delete(m.id);
      if (m.error) reject(new GxempError(m.error.code, m.error.message));
      else resolve(m.result);
      return;
    }
    const p = m.params ?? {};
    switch (m.method) {
      case 'hello':
        if (p.authenticate) this._authenticate(p);
        else this._ready(p);
        break;
      case 'event':
        this._emit('event', p);
        this._emit(p.code === 6511 ? 'gesture' : 'face', p);
        break;
      case 'state':
        this._setState(p);
        break;
      case 'focus':
        this.focus = !!p.focus;
        this._emit('focus', this.focus);
        break;
      case 'dropped':
        this._emit('dropped', p.count);
        break;
    }
  }

  // A client that is no page (it sends no Origin) proves itself with the user's token.
  _authenticate(hello) {
    const id = this._nextId++;
    this._pending.set(id, {
      resolve: (result) => this._ready({ ...hello, ...result, authenticate: false }),
      reject: () => {},
    });
    this._send({ id, method: 'authenticate', params: { token: this.token ?? '' } });
  }

  _ready(hello) {
    this.connected = true;
    this._delay = this.minDelay;
    this._attempt = 0;
    this.hello = hello;
    this.focus = !!hello.focus;
    this._setState(hello.state);
    // 'open' once the page is as it was: its visibility told and its subscription in place.
    const again = this._subscription
      ? this._request('subscribe', this._subscription).catch(() => {})
      : null;
    Promise.all([this._reportVisibility(), again]).then(() => this._emit('open', hello));
  }

  _reportVisibility() {
    if (!this.connected) return Promise.resolve();
    return this._request('visibility', { visible: this._visible(), focused: this._focused() })
      .then((r) => {
        if (this.focus !== r.focus) {
          this.focus = r.focus;
          this._emit('focus', this.focus);
        }
      })
      .catch(() => {});
  }

  _dropped(error) {
    this.connected = false;
    for (const { reject } of this._pending.values()) reject(error);
    this._pending.clear();
  }

  _closed(ws, e) {
    if (ws !== this._ws && ws !== undefined) return;
    this._ws = null;
    this._dropped(new GxempError(0, `disconnected (${e.code})`));
    const retrying = !this._stopped && !FINAL_CLOSES.has(e.code);
    this._emit('close', { code: e.code, reason: e.reason ?? '', retrying });
    if (!retrying) return;
    const delay = this._delay;
    this._delay = Math.min(this._delay * 2, this.maxDelay);
    this._emit('reconnecting', { attempt: ++this._attempt, delay });
    this._timer = setTimeout(() => this._open(), delay);
  }

  // The page came back or the network did: no reason to wait out the delay.
  _retryNow() {
    if (this._timer === null || this._stopped) return;
    this._delay = this.minDelay;
    this._open();
  }
}

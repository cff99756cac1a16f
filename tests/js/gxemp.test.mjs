// gxemp.js against a real gxemp and gxemp-bridge: commands and their ids, rejections, events,
// reconnection with a growing delay that restores the subscription, no retry after a policy
// close. Run by ctest with the programs' paths in GXEMP_BIN, GXEMP_BRIDGE_BIN, GXEMPCTL_BIN.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, writeFileSync, readFileSync, rmSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { once } from 'node:events';

import { Gxemp, GxempError } from '../../web/gxemp.js';
import { webSocketFrom } from './ws.mjs';

const dir = mkdtempSync(join(tmpdir(), 'gxemp-js-'));
const address = `unix:path=${dir}/host.sock`;
const env = { ...process.env, XDG_RUNTIME_DIR: dir };
const TV = 'http://localhost:8080';
let service, bridge, url, port = 0;

// Resolves when `check` holds, trying again on each turn of the event loop's timers.
async function until(check, what) {
  for (let i = 0; i < 2000; ++i) {
    if (await check()) return;
    await new Promise((r) => setTimeout(r, 10));
  }
  throw new Error(`gave up waiting for ${what}`);
}

async function startBridge() {
  bridge = spawn(process.env.GXEMP_BRIDGE_BIN, ['--port', String(port), '--config',
    join(dir, 'bridge.conf'), '--address', address], { env, stdio: ['ignore', 'pipe', 'inherit'] });
  const [line] = await once(createInterface({ input: bridge.stdout }), 'line');
  url = line;
  port = Number(new URL(url).port);
}

async function stopBridge() {
  const exited = once(bridge, 'exit');
  bridge.kill('SIGTERM');
  await exited;
}

function sim(...args) {
  execFileSync(process.env.GXEMPCTL_BIN, ['--address', address, 'sim', ...args], { env });
}

// Resolves with the next value of `type`.
function next(gx, type) {
  return new Promise((resolve) => { const off = gx.on(type, (v) => { off(); resolve(v); }); });
}

// A page that is visible and focused.
const page = { visibilityState: 'visible', hasFocus: () => true, addEventListener() {},
  removeEventListener() {} };

before(async () => {
  writeFileSync(join(dir, 'bridge.conf'),
    `[origin ${TV}]\ncommands=motion;speech\nfaces=true\n`);
  service = spawn(process.env.GXEMP_BIN, ['--address', address, '--log', join(dir, 'gxemp.log')],
    { env, stdio: 'ignore' });
  await until(() => existsSync(`${dir}/host.sock`), 'the service');
  await startBridge();
});

after(async () => {
  bridge.kill('SIGTERM');
  service.kill('SIGTERM');
  await once(service, 'exit');
  rmSync(dir, { recursive: true, force: true });
});

test('commands resolve with their own results; ids count up; refusals reject', async () => {
  const sent = [];
  const Base = webSocketFrom(TV);
  class Recording extends Base { send(t) { sent.push(JSON.parse(t)); super.send(t); } }
  const gx = new Gxemp({ url, WebSocket: Recording, document: page });
  await next(gx, 'open');
  const [tts, camera] = await Promise.all([gx.command('EnableTTSEngine'),
    gx.command('GetGestureCameraStatus')]);
  assert.deepEqual(tts, { served: true, result: 1 });
  assert.deepEqual(camera, { served: true, result: 1 });
  await assert.rejects(gx.command('FaceVersion'), (e) => e instanceof GxempError && e.code === -32001);
  await assert.rejects(gx.command('NoSuchCommand'), { code: -32602 });
  assert.deepEqual((await gx.readState()).voiceGuide, 1);
  const ids = sent.map((m) => m.id);
  assert.deepEqual(ids, [...ids].sort((a, b) => a - b));
  assert.equal(new Set(ids).size, ids.length);
  gx.close();
  await assert.rejects(gx.command('IsSupportTTS'), { code: 0 });
});

test('a reconnect after growing delays restores the subscription without refocusing', async () => {
  const gx = new Gxemp({ url, WebSocket: webSocketFrom(TV), document: page, minDelay: 20,
    maxDelay: 80 });
  await next(gx, 'open');
  assert.deepEqual(await gx.subscribe({ gestures: ['EVENT_MOTION_GRAB'] }),
    { gestures: ['EVENT_MOTION_GRAB'], faces: false, background: false });
  assert.equal(gx.focus, true);
  let gesture = next(gx, 'gesture');
  sim('gesture', 'EVENT_MOTION_GRAB', 'before');
  assert.equal((await gesture).payload, 'before');

  const delays = [];
  gx.on('reconnecting', (r) => delays.push(r.delay));
  const closed = next(gx, 'close');
  await stopBridge();
  assert.deepEqual(await closed, { code: 1001, reason: 'gxemp-bridge is stopping', retrying: true });
  await until(() => delays.length >= 4, 'four attempts');
  assert.deepEqual(delays.slice(0, 4), [20, 40, 80, 80]);

  const opened = next(gx, 'open');
  await startBridge();  // on the same port
  const hello = await opened;
  assert.equal(hello.state.camera, 1);
  gesture = next(gx, 'gesture');
  sim('gesture', 'EVENT_MOTION_GRAB', 'after');
  assert.equal((await gesture).payload, 'after');
  gx.close();
});

test('commands pending when the connection drops are rejected, and it comes back', async () => {
  const sockets = [];
  const gx = new Gxemp({ url, WebSocket: webSocketFrom(TV, sockets), document: page,
    minDelay: 20 });
  await next(gx, 'open');
  bridge.kill('SIGSTOP');  // so that the command cannot be answered first
  try {
    const pending = gx.command('IsSupportTTS');
    sockets.at(-1).socket.destroy();
    await assert.rejects(pending, { code: 0 });
  } finally {
    bridge.kill('SIGCONT');
  }
  await next(gx, 'open');
  assert.equal((await gx.command('IsSupportTTS')).served, true);
  gx.close();
});

test('a policy close is final; the token opens the door to a client without Origin', async () => {
  const token = readFileSync(join(dir, 'gxemp', 'bridge.token'), 'utf8').trim();
  const wrong = new Gxemp({ url, WebSocket: webSocketFrom(''), token: 'x'.repeat(32) });
  let retried = false;
  wrong.on('reconnecting', () => { retried = true; });
  assert.deepEqual(await next(wrong, 'close'), { code: 1008, reason: 'wrong token', retrying: false });
  const right = new Gxemp({ url, WebSocket: webSocketFrom(''), token });
  const hello = await next(right, 'open');
  assert.deepEqual(hello.rights.commands, ['motion', 'face', 'speech']);
  assert.equal((await right.command('FaceVersion')).served, true);
  right.close();
  assert.equal(retried, false);
});

// What a page writes with gxemp.js, checked against gxemp.d.ts by the TypeScript compiler
// (ctest js.types): a wrong name, a missing field or a mistyped listener fails the build of it.
import { Gxemp, GxempError, GestureEvent, State } from '../../web/gxemp.js';

const gx = new Gxemp({ url: 'ws://127.0.0.1:8790/bridge/v1', minDelay: 100 });
gx.on('gesture', (e: GestureEvent) => {
  const left: boolean = e.name === 'EVENT_MOTION_SLAP_LEFT';
  console.log(left, e.seq, e.payload.length);
});
gx.on('face', (e) => console.log(JSON.parse(e.payload)));
gx.on('state', (s: State) => console.log(s.voiceGuide === 1, s.camera));
gx.on('focus', (focused: boolean) => console.log(focused));
gx.on('dropped', (count: number) => console.log(count));
gx.on('close', ({ code, retrying }) => console.log(code, retrying));
const off = gx.on('reconnecting', ({ attempt, delay }) => console.log(attempt, delay));
off();

async function main(): Promise<void> {
  const hello = await new Promise((resolve) => gx.on('open', resolve));
  console.log(hello);
  const done = await gx.subscribe({ gestures: ['EVENT_MOTION_GRAB', 'EVENT_MOTION_SLAP_LEFT'], faces: true });
  const gestures: string[] = done.gestures;
  console.log(gestures);
  try {
    const { served, result } = await gx.command('EnableTTSEngine');
    if (served && typeof result === 'number') console.log(result + 1);
  } catch (e) {
    if (e instanceof GxempError) console.log(e.code, e.message);
  }
  const state: State = await gx.readState();
  console.log(state.camera);
  gx.close();
}
main();

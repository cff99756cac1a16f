// A TV-style gallery on gxemp.js: slap left or right to browse, grab to choose, a greeting for a
// face the TV recognises, and the voice-guide switch. ?bridge=URL picks another bridge.
import { Gxemp } from './gxemp.js';

const SLIDES = [
  ['Northern Lights', 'Documentary · 52 min', '#1d4e89, #58c4dd'],
  ['Harbour Nights', 'Drama · Season 2', '#5b2a86, #f26a8d'],
  ['The Long Climb', 'Adventure · 1 h 48', '#14532d, #84cc16'],
  ['Kitchen Table', 'Cooking · New episode', '#7c2d12, #fbbf24'],
  ['Deep Blue', 'Nature · 4K', '#0c4a6e, #22d3ee'],
  ['Late Show', 'Talk · Live', '#3730a3, #a78bfa'],
];
// Who the TV's stored faces are, by their recognition id (a real app asks its own profiles).
const PEOPLE = { 1: 'Mia', 2: 'Leo', 3: 'Noor', 7: 'Sam' };

const $ = (id) => document.getElementById(id);
const track = $('track');
let current = 0;
let greetTimer = null;

for (const [title, meta, colours] of SLIDES) {
  const s = document.createElement('article');
  s.className = 'slide';
  s.style.background = `linear-gradient(135deg, ${colours})`;
  s.innerHTML = '<h2></h2><p></p>';
  s.querySelector('h2').textContent = title;
  s.querySelector('p').textContent = meta;
  track.append(s);
}

function show(index) {
  current = (index + SLIDES.length) % SLIDES.length;
  [...track.children].forEach((s, i) => s.classList.toggle('current', i === current));
  track.style.transform = `translateX(${-current * 480}px)`;
  document.body.dataset.slide = String(current);
}

function choose() {
  [...track.children].forEach((s, i) => s.classList.toggle('chosen', i === current));
  $('now').textContent = `▶ ${SLIDES[current][0]}`;
  document.body.dataset.chosen = String(current);
}

function greet(payload) {
  let id;
  try {
    id = JSON.parse(payload).recognitionResult[0].nFaceRecogID;
  } catch {
    return;
  }
  const name = PEOPLE[id] ?? `viewer ${id}`;
  $('who').textContent = name;
  $('avatar').textContent = name[0].toUpperCase();
  $('greeting').hidden = false;
  clearTimeout(greetTimer);
  greetTimer = setTimeout(() => { $('greeting').hidden = true; }, 8000);
}

function chip(el, text, good) {
  el.textContent = text;
  el.classList.toggle('good', good === true);
  el.classList.toggle('bad', good === false);
}

const bridgeUrl = new URLSearchParams(location.search).get('bridge') ?? undefined;
const gx = new Gxemp({ url: bridgeUrl });

gx.on('open', () => {
  chip($('bridge'), 'connected', true);
  document.body.dataset.bridge = 'open';
});
gx.on('close', ({ retrying }) => {
  chip($('bridge'), retrying ? 'reconnecting…' : 'refused', false);
  document.body.dataset.bridge = retrying ? 'reconnecting' : 'refused';
});
gx.on('state', ({ camera, voiceGuide }) => {
  chip($('camera'), camera === 1 ? 'camera on' : camera === null ? 'camera ?' : 'camera off',
    camera === null ? undefined : camera === 1);
  $('voice').setAttribute('aria-pressed', String(voiceGuide === 1));
  $('voice').querySelector('b').textContent = voiceGuide === 1 ? 'on' : 'off';
});
gx.on('gesture', ({ name }) => {
  if (name === 'EVENT_MOTION_SLAP_LEFT') show(current + 1);
  else if (name === 'EVENT_MOTION_SLAP_RIGHT') show(current - 1);
  else if (name === 'EVENT_MOTION_GRAB') choose();
});
gx.on('face', ({ name, payload }) => {
  if (name === 'EVENT_FR_RECOGNITION_RESULT') greet(payload);
});
// Once: gxemp.js subscribes again by itself after a reconnect.
const first = gx.on('open', () => {
  first();
  gx.subscribe({
    gestures: ['EVENT_MOTION_SLAP_LEFT', 'EVENT_MOTION_SLAP_RIGHT', 'EVENT_MOTION_GRAB'],
    faces: true,
  }).then(() => { document.body.dataset.subscribed = 'yes'; }, () => {});
});

$('voice').addEventListener('click', async () => {
  const on = $('voice').getAttribute('aria-pressed') === 'true';
  try {
    await gx.command(on ? 'DisableTTSEngine' : 'EnableTTSEngine');
  } catch (e) {
    console.warn('voice guide:', e.message);
  }
});
document.addEventListener('keydown', (e) => {  // the remote's arrows work too
  if (e.key === 'ArrowRight') show(current + 1);
  if (e.key === 'ArrowLeft') show(current - 1);
  if (e.key === 'Enter') choose();
});

show(0);

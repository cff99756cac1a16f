// The live view: listens to the viewer's event stream and draws what it hears. It only looks:
// nothing here sends anything to the viewer but the request for the stream itself.
'use strict';
(() => {
  const MAX_EVENTS = 50;
  const FACE_MS = 3000;
  const token = new URLSearchParams(location.search).get('token') || '';
  const $ = (id) => document.getElementById(id);
  let frameW = 1280;
  let frameH = 720;
  let serverSkew = 0;  // the viewer's clock minus ours, from its last state message

  // ---- frame ----

  function fitFrame() {
    const stage = $('stage');
    const scale = Math.min(stage.clientWidth / frameW, stage.clientHeight / frameH);
    $('frame').style.width = Math.floor(frameW * scale) + 'px';
    $('frame').style.height = Math.floor(frameH * scale) + 'px';
  }
  window.addEventListener('resize', fitFrame);

  function pct(v, of) {
    return (100 * v / of) + '%';
  }

  // Shows `el` for what is left of FACE_MS after `age` ms, fading out with the CSS animation.
  function expire(el, age) {
    const left = Math.max(0, FACE_MS - age);
    el.style.animationDelay = (-Math.min(age, FACE_MS)) + 'ms';
    setTimeout(() => el.remove(), left);
  }

  function drawBox(kind, id, r, label, age) {
    const key = kind + ':' + id;
    const old = $('faces').querySelector(`[data-key="${CSS.escape(key)}"]`);
    if (old) old.remove();
    const box = document.createElement('div');
    box.className = 'face ' + kind + (r.y < frameH * 0.08 ? ' top' : '');
    box.dataset.key = key;
    box.dataset.id = String(id);
    box.style.left = pct(r.x, frameW);
    box.style.top = pct(r.y, frameH);
    box.style.width = pct(Math.max(r.w, 1), frameW);
    box.style.height = pct(Math.max(r.h, 1), frameH);
    const tag = document.createElement('div');
    tag.className = 'face-label';
    tag.textContent = label;
    box.appendChild(tag);
    $('faces').appendChild(box);
    expire(box, age);
  }

  function toast(text, fail, age) {
    const el = document.createElement('div');
    el.className = 'toast' + (fail ? ' fail' : '');
    el.textContent = text;
    $('toasts').appendChild(el);
    expire(el, age);
  }

  // ---- events ----

  function parseData(ev) {
    try {
      return ev.data ? JSON.parse(ev.data) : null;
    } catch (e) {
      return null;
    }
  }

  // Face events: what to draw and a one-line summary for the list.
  function faceEvent(ev, age) {
    const d = parseData(ev);
    const item = (list) => (d && Array.isArray(d[list]) && d[list][0]) || null;
    switch (ev.name) {
      case 'EVENT_FR_DETECT_FACE': {
        const f = item('detectResult');
        if (!f) return 'no record';
        if (age !== null) drawBox('detect', f.nDetectID, f, 'detect #' + f.nDetectID, age);
        return `#${f.nDetectID} at ${f.x},${f.y} ${f.w}×${f.h}`;
      }
      case 'EVENT_FR_RECOGNITION_RESULT': {
        const f = item('recognitionResult');
        if (!f) return 'no record';
        if (age !== null) drawBox('recog', f.nFaceRecogID, f, 'face #' + f.nFaceRecogID, age);
        return `#${f.nFaceRecogID} at ${f.x},${f.y} ${f.w}×${f.h}` +
            (f.imageFilePath ? ' · ' + f.imageFilePath : '');
      }
      case 'EVENT_FR_TRAIN_RESULT': {
        if (!d) return 'no record';
        const text = `result ${d.detectResult}` + (d.imageFilePath ? ' · ' + d.imageFilePath : '');
        if (age !== null) toast('training ' + text, false, age);
        return text;
      }
      case 'EVENT_FR_DETECTION_FAIL':
      case 'EVENT_FR_RECOGNITION_FAIL':
        if (age !== null) toast(ev.name === 'EVENT_FR_DETECTION_FAIL' ?
                                'detection failed' : 'recognition failed', true, age);
        return '';
      default:
        return ev.data || '';
    }
  }

  // "EVENT_MOTION_SLAP_LEFT-view" -> the gesture SLAP_LEFT (the widget follows the first '-').
  function gestureOf(name) {
    const dash = name.indexOf('-');
    const base = dash < 0 ? name : name.slice(0, dash);
    return base.replace(/^EVENT_MOTION_/, '');
  }

  const ICONS = {
    SLAP_LEFT: ['arrow', 180], SLAP_RIGHT: ['arrow', 0], SLAP_UP: ['arrow', -90],
    SLAP_DOWN: ['arrow', 90], CIRCLE: ['ring', 0], GRAB: ['fist', 0], UNGRAB: ['palm', 0],
  };

  function human(kind) {
    const words = kind.toLowerCase().replace(/_/g, ' ');
    return words.charAt(0).toUpperCase() + words.slice(1);
  }

  function showGesture(ev, fresh) {
    const kind = gestureOf(ev.name);
    const [icon, turn] = ICONS[kind] || ['dot', 0];
    const card = $('gesture');
    card.dataset.gesture = kind;
    const use = document.createElementNS('http://www.w3.org/2000/svg', 'use');
    use.setAttribute('href', '#icon-' + icon);
    use.setAttribute('transform', `rotate(${turn} 50 50)`);
    $('gesture-icon').replaceChildren(use);
    $('gesture-name').textContent = human(kind);
    const detail = $('gesture-detail');
    detail.replaceChildren(breakable(ev.name), document.createElement('br'),
                           clock(ev.time) + (ev.data ? ` · “${ev.data}”` : ''));
    card.classList.remove('fresh');
    if (fresh) {
      void card.offsetWidth;  // restarts the animation
      card.classList.add('fresh');
    }
  }

  function pad(n, w) {
    return String(n).padStart(w, '0');
  }

  function clock(ms) {
    const d = new Date(ms);
    return `${pad(d.getHours(), 2)}:${pad(d.getMinutes(), 2)}:${pad(d.getSeconds(), 2)}.` +
        pad(d.getMilliseconds(), 3);
  }

  const FACE_LABELS = {
    EVENT_FR_DETECT_FACE: 'Face detected', EVENT_FR_ON_RECOGNIZING: 'Recognising…',
    EVENT_FR_TRAIN_RESULT: 'Training result', EVENT_FR_RECOGNITION_RESULT: 'Face recognised',
    EVENT_FR_DETECTION_FAIL: 'Detection failed', EVENT_FR_RECOGNITION_FAIL: 'Recognition failed',
  };

  // Text that may break after '_' and '-' (event names are long single words).
  function breakable(text) {
    const span = document.createElement('span');
    text.split(/(?<=[_-])/).forEach((part, i) => {
      if (i) span.append(document.createElement('wbr'));
      span.append(part);
    });
    return span;
  }

  function listItem(cls, time, label, raw, detail) {
    const li = document.createElement('li');
    li.className = cls;
    const t = document.createElement('time');
    t.textContent = clock(time);
    const n = document.createElement('span');
    n.className = 'name';
    n.textContent = label;
    const dt = document.createElement('span');
    dt.className = 'detail';
    dt.append(breakable(raw));
    li.append(t, n, dt);
    if (detail) {
      const sm = document.createElement('span');
      sm.className = 'summary';
      sm.textContent = detail;
      li.append(sm);
    }
    const list = $('events');
    list.prepend(li);
    while (list.children.length > MAX_EVENTS) list.lastChild.remove();
    $('recent-count').textContent = `(last ${list.children.length})`;
  }

  // `replayed`: an event from before this page connected, drawn only if still young enough.
  function onEvent(ev, replayed) {
    const age = replayed ? Date.now() + serverSkew - ev.time : 0;
    if (ev.code === 6511) {
      showGesture(ev, !replayed);
      listItem('motion', ev.time, human(gestureOf(ev.name)), ev.name,
               ev.data ? `“${ev.data}”` : '');
    } else {
      const detail = faceEvent(ev, age < FACE_MS ? age : null);
      listItem('face-event', ev.time, FACE_LABELS[ev.name] || ev.name, ev.name, detail);
    }
  }

  // ---- state ----

  function chip(id, level, value) {
    const c = $(id);
    c.dataset.level = level;
    c.querySelector('.chip-value').textContent = value;
  }

  let banner = null;
  function showBanner(text, ok) {
    const b = $('banner');
    clearTimeout(banner);
    b.textContent = text;
    b.className = ok ? 'ok' : '';
    b.hidden = false;
    if (ok) banner = setTimeout(() => { b.hidden = true; }, FACE_MS);
  }

  let last = null;
  function onState(s) {
    serverSkew = s.now - Date.now();
    if (s.frame && (s.frame.width !== frameW || s.frame.height !== frameH)) {
      frameW = s.frame.width;
      frameH = s.frame.height;
      $('frame-size').textContent = `${frameW} × ${frameH}`;
      fitFrame();
    }
    if (s.service === 'connected') {
      chip('chip-service', 'good', s.reconnects ? `connected (${s.reconnects}× back)` :
                                                  'connected');
      if (last && last.service !== 'connected') {
        showBanner('The service is back: reconnected and subscribed again', true);
      } else if ($('banner').className !== 'ok') {
        $('banner').hidden = true;  // an error shown before the stream came back
      }
    } else {
      chip('chip-service', 'bad', 'reconnecting');
      showBanner(`Service connection lost. Reconnecting` +
                 (s.attempt ? ` (attempt ${s.attempt})` : '') + '…');
    }
    const camera = {0: ['bad', 'disconnected'], 1: ['good', 'connected'], 2: ['warn', 'error']};
    const [cl, cv] = camera[s.camera] || ['unknown', 'unknown'];
    chip('chip-camera', cl, cv);
    $('frame-note').textContent = s.camera === 1 ? '' :
        s.camera === 0 ? 'camera disconnected' : s.camera === 2 ? 'camera error' : '';
    const voice = {0: ['off', 'off'], 1: ['good', 'on']};
    const [vl, vv] = voice[s.voiceGuide] || ['unknown', 'unknown'];
    chip('chip-voice', vl, vv);
    document.body.dataset.service = s.service;
    last = s;
  }

  // ---- stream ----

  function connect() {
    const stream = new EventSource('/events?token=' + encodeURIComponent(token));
    stream.addEventListener('state', (e) => {
      onState(JSON.parse(e.data));
      document.body.dataset.stream = 'open';
    });
    stream.addEventListener('event', (e) => onEvent(JSON.parse(e.data), false));
    stream.addEventListener('history', (e) => onEvent(JSON.parse(e.data), true));
    stream.addEventListener('dropped', (e) => {
      const n = JSON.parse(e.data).count;
      listItem('note', Date.now() + serverSkew, `${n} event(s) skipped`,
               'this tab fell behind the stream', '');
    });
    stream.onerror = () => {
      document.body.dataset.stream = 'lost';
      chip('chip-service', 'unknown', 'unknown');
      showBanner('The viewer is not answering (is gxempctl view still running?). Retrying…');
      // The browser retries by itself unless the viewer refused the stream; then we do.
      if (stream.readyState === EventSource.CLOSED) setTimeout(connect, 5000);
    };
  }

  fitFrame();
  connect();
})();

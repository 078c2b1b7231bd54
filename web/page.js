// Polls the arm's state through the CGI's GET (the state files are the arm's
// account's alone) and draws the arm, its guards and its counters; every
// picture carries how old it is.
(function () {
  'use strict';

  const A = window.ArmGeometry;
  const POLL_MS = 1000;
  const FETCH_TIMEOUT_MS = 3000;
  // Beyond this age the last good read is no longer the arm's current state.
  const STALE_MS = 3500;
  const POSITION_FILE = 'robot_position.dat';
  // The CGI's URL, relative to this page unless the tag names another.
  const CGI = (document.querySelector('meta[name="armctl-cgi"]') || {}).content || 'armctl-cgi';

  // Drawing space, in arm units with y up; the floor is the foot of the base.
  const VIEW = { left: -21, right: 21, bottom: -11.5, top: 30 };
  const PIVOT = { x: 0, y: A.BASE_LENGTH };
  const SVG_NS = 'http://www.w3.org/2000/svg';

  const state = {
    pose: null, // last good pose
    counters: null,
    poseReadAt: 0, // when the position file last read well
    poseSavedAt: null, // the CGI does not say when the pose was saved
    positionError: null, // why there is no pose to show
    unreachable: null, // why the last attempt got no answer at all
    lock: { held: null, text: 'not read yet' },
    lastAttemptAt: 0,
  };

  const $ = (id) => document.getElementById(id);

  // ---- reading ----------------------------------------------------------

  // The CGI's answer: {"counters": [6] or null, "report": ..., "lock": {"held": bool or null}}.
  async function fetchState() {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
    // The query string defeats caches that ignore no-store.
    const url = `${CGI}?t=${Date.now()}-${Math.random().toString(36).slice(2)}`;
    try {
      const response = await fetch(url, { cache: 'no-store', signal: abort.signal });
      if (!response.ok) return { kind: 'http', status: response.status };
      const answer = await response.json();
      return { kind: 'ok', answer };
    } catch (e) {
      return { kind: 'unreachable', reason: e.name === 'AbortError' ? 'no answer in time' : 'no answer' };
    } finally {
      clearTimeout(timer);
    }
  }

  function takePosition(outcome, now) {
    if (outcome.kind === 'unreachable') {
      state.unreachable = `the arm's CGI: ${outcome.reason}`;
      return;
    }
    state.unreachable = null;
    state.pose = null;
    state.counters = null;
    if (outcome.kind === 'http') {
      state.positionError = `The arm's state could not be read (HTTP ${outcome.status}).`;
    } else {
      const c = outcome.answer.counters;
      if (c === null) {
        state.positionError = `${POSITION_FILE} is missing or unreadable: no run has saved a pose here yet.`;
      } else if (!Array.isArray(c) || c.length !== 6 || !c.every(Number.isInteger)) {
        state.positionError = `The arm's state came back without six counters: ${JSON.stringify(c)}`;
      } else {
        state.positionError = null;
        state.counters = c;
        state.pose = A.poseOf(c);
        state.poseReadAt = now;
      }
    }
  }

  function takeLock(outcome) {
    const say = {
      unreachable: () => ({ held: null, text: `unknown (${outcome.reason})` }),
      http: () => ({ held: null, text: `unknown (HTTP ${outcome.status})` }),
      ok: () => {
        const held = outcome.answer.lock ? outcome.answer.lock.held : null;
        if (typeof held !== 'boolean') return { held: null, text: 'unknown (lock.dat is missing or holds no number)' };
        return { held, text: held ? 'held: a run is under way' : 'free: no run' };
      },
    };
    state.lock = say[outcome.kind]();
  }

  async function poll() {
    const started = Date.now();
    const outcome = await fetchState();
    const now = Date.now();
    state.lastAttemptAt = now;
    takeLock(outcome);
    takePosition(outcome, now);
    render();
    setTimeout(poll, Math.max(0, POLL_MS - (now - started)));
  }

  // ---- what to show -----------------------------------------------------

  function pictureState(now) {
    if (state.positionError) return 'error';
    if (!state.pose) return 'loading';
    return now - state.poseReadAt > STALE_MS ? 'stale' : 'ok';
  }

  const clock = (t) => new Date(t).toLocaleTimeString([], { hour12: false });
  const secondsAgo = (now, t) => `${Math.max(0, Math.round((now - t) / 1000))} s ago`;

  function freshnessText(picture, now) {
    const saved = state.poseSavedAt && !isNaN(state.poseSavedAt) ? ` · pose saved ${clock(state.poseSavedAt)}` : '';
    const why = state.unreachable ? ` (${state.unreachable})` : '';
    const texts = {
      loading: () => `Reading the arm's state…${why}`,
      error: () => `No pose to show · last try ${clock(state.lastAttemptAt)}`,
      stale: () => `STALE: last good read ${clock(state.poseReadAt)}, ${secondsAgo(now, state.poseReadAt)}${why}`,
      ok: () => `Read ${clock(state.poseReadAt)}, ${secondsAgo(now, state.poseReadAt)}${saved}`,
    };
    return texts[picture]();
  }

  // ---- drawing ----------------------------------------------------------

  const sx = (x) => x.toFixed(4);
  const sy = (y) => (-y).toFixed(4);

  function svg(tag, attrs, text) {
    const el = document.createElementNS(SVG_NS, tag);
    for (const [k, v] of Object.entries(attrs)) el.setAttribute(k, v);
    if (text !== undefined) el.textContent = text;
    return el;
  }

  function line(a, b, cls) {
    return svg('line', { x1: sx(a.x), y1: sy(a.y), x2: sx(b.x), y2: sy(b.y), class: cls });
  }

  function label(p, text, cls, anchor) {
    return svg('text', { x: sx(p.x), y: sy(p.y), class: cls, 'text-anchor': anchor || 'start' }, text);
  }

  // The tip heights that the guards allow, drawn across the whole plane.
  function heightBand(g) {
    const L = A.LIMITS;
    const at = (h) => PIVOT.y + h;
    const width = VIEW.right - VIEW.left;
    g.append(svg('rect', { x: VIEW.left, y: sy(at(L.tipAbove)), width, height: L.tipAbove - L.tipBelow, class: 'band' }));
    g.append(svg('rect', { x: VIEW.left, y: sy(at(L.tipBelow)), width, height: L.tipBelow - L.tipBelowFar, class: 'band-far' }));
    const marks = [
      [L.tipAbove, `tip +${L.tipAbove}: H V E`],
      [L.tipBelow, `tip ${L.tipBelow}: F`],
      [L.tipBelowFar, `tip ${L.tipBelowFar}: N W`],
    ];
    for (const [h, text] of marks) {
      g.append(line({ x: VIEW.left, y: at(h) }, { x: VIEW.right, y: at(h) }, 'band-edge'));
      g.append(label({ x: VIEW.right - 0.3, y: at(h) + (h === L.tipBelowFar ? -0.9 : 0.3) }, text, 'band-label', 'end'));
    }
  }

  function drawBackdrop() {
    const g = $('backdrop');
    const view = $('arm-view');
    view.setAttribute('viewBox', `${VIEW.left} ${-VIEW.top} ${VIEW.right - VIEW.left} ${VIEW.top - VIEW.bottom}`);
    for (let x = -20; x <= 20; x += 5) g.append(line({ x, y: VIEW.bottom }, { x, y: VIEW.top }, 'grid'));
    for (let y = -10; y <= 30; y += 5) g.append(line({ x: VIEW.left, y }, { x: VIEW.right, y }, 'grid'));
    heightBand(g);
    const reach = A.SEGMENTS.reduce((sum, s) => sum + s.length, 0);
    g.append(svg('circle', { cx: sx(PIVOT.x), cy: sy(PIVOT.y), r: reach, class: 'reach' }));
    g.append(line({ x: -3, y: 0 }, { x: 3, y: 0 }, 'floor'));
    g.append(line({ x: 0, y: 0 }, PIVOT, 'segment base'));
    g.append(svg('circle', { cx: sx(PIVOT.x), cy: sy(PIVOT.y), r: 0.45, class: 'joint' }));
  }

  // At a joint: the previous segment's line carried on (the zero of the
  // bend), an arc from it to the next segment, and the bend on its bisector.
  function bendMark(at, fromDeg, toDeg, text, within) {
    const g = svg('g', { class: within ? 'bend' : 'bend beyond' });
    const toward = (deg, r) => ({ x: at.x + r * Math.cos((deg * Math.PI) / 180), y: at.y + r * Math.sin((deg * Math.PI) / 180) });
    const r = 1.6;
    const a = toward(fromDeg, r);
    const b = toward(toDeg, r);
    const large = Math.abs(toDeg - fromDeg) % 360 > 180 ? 1 : 0;
    const sweep = toDeg > fromDeg ? 0 : 1;
    g.append(line(at, toward(fromDeg, 2.4), 'bend-zero'));
    g.append(svg('path', { d: `M ${sx(a.x)} ${sy(a.y)} A ${r} ${r} 0 ${large} ${sweep} ${sx(b.x)} ${sy(b.y)}` }));
    const spot = toward((fromDeg + toDeg) / 2, 3);
    g.append(label({ x: spot.x, y: spot.y - 0.3 }, text, 'bend-label', 'middle'));
    return g;
  }

  function drawArm(pose, limits) {
    const g = $('arm');
    g.replaceChildren();
    const joints = [PIVOT];
    for (const s of A.SEGMENTS) {
      const from = joints[joints.length - 1];
      joints.push({ x: from.x + pose[s.name].x, y: from.y + pose[s.name].y });
    }
    const tip = { x: PIVOT.x + pose.total.x, y: PIVOT.y + pose.total.y };
    g.setAttribute('data-tip', `${pose.total.x},${pose.total.y}`);

    g.append(line(PIVOT, tip, 'resultant'));
    A.SEGMENTS.forEach((s, i) => g.append(line(joints[i], joints[i + 1], `segment ${s.name}`)));
    g.append(svg('polyline', { id: 'arm-path', points: joints.map((p) => `${sx(p.x)},${sy(p.y)}`).join(' '), class: 'path' }));
    g.append(bendMark(joints[1], pose.shoulder.theta, pose.elbow.theta,
      `${limits.elbowBend.value.toFixed(1)}°`, limits.elbowBend.within));
    g.append(bendMark(joints[2], pose.elbow.theta, pose.wrist.theta,
      `${limits.wristBend.value.toFixed(1)}°`, limits.wristBend.within));
    joints.slice(1, 3).forEach((p) => g.append(svg('circle', { cx: sx(p.x), cy: sy(p.y), r: 0.4, class: 'joint' })));
    const tipWithin = limits.tipHeight.withinAbove && limits.tipHeight.withinBelow;
    g.append(svg('circle', { id: 'tip', cx: sx(tip.x), cy: sy(tip.y), r: 0.55, class: tipWithin ? 'tip' : 'tip beyond' }));
    // Beyond the tip along the wrist, clear of the joints, and kept inside
    // the view when the tip is near its right edge.
    const ahead = (pose.wrist.x >= 0 || tip.x < VIEW.left + 8) && tip.x < VIEW.right - 8;
    const lift = pose.wrist.y >= 0 ? 0.9 : -1.5;
    g.append(label({ x: tip.x + (ahead ? 0.8 : -0.8), y: tip.y + lift },
      `tip ${A.formatG(pose.total.y)}`, 'tip-label', ahead ? 'start' : 'end'));
  }

  function drawOverlay(picture, now) {
    const g = $('overlay');
    g.replaceChildren();
    const centre = { x: (VIEW.left + VIEW.right) / 2, y: (VIEW.bottom + VIEW.top) / 2 };
    const words = {
      loading: ['Reading…', ''],
      error: ['No picture', 'see the message above'],
      stale: ['STALE', `last good read ${secondsAgo(now, state.poseReadAt)}`],
      ok: null,
    }[picture];
    if (!words) return;
    g.append(label(centre, words[0], `overlay-title ${picture}`, 'middle'));
    g.append(label({ x: centre.x, y: centre.y - 3 }, words[1], 'overlay-sub', 'middle'));
  }

  // ---- tables -----------------------------------------------------------

  function row(cells, attrs) {
    const tr = document.createElement('tr');
    for (const [k, v] of Object.entries(attrs || {})) tr.setAttribute(k, v);
    for (const c of cells) {
      const td = document.createElement('td');
      td.textContent = c;
      tr.append(td);
    }
    return tr;
  }

  function fillLimits(limits) {
    const L = A.LIMITS;
    const t = limits.tipHeight;
    const status = (within) => (within ? 'within' : 'beyond');
    const rows = [
      ['tip height', t.value, `< ${L.tipAbove}`, 'H V E', status(t.withinAbove)],
      ['tip height', t.value, `> ${L.tipBelow}`, 'F', status(t.withinBelow)],
      ['tip height', t.value, `> ${L.tipBelowFar}`, 'N W', status(t.withinBelowFar)],
      ['elbow bend', limits.elbowBend.value, `< ${L.elbowBend}`, 'N V', status(limits.elbowBend.within)],
      ['wrist bend', limits.wristBend.value, `< ${L.wristBend}`, 'F', status(limits.wristBend.within)],
      ['shoulder angle', limits.shoulderAngle.value, `> ${L.shoulderAngle}`, 'N', status(limits.shoulderAngle.within)],
    ];
    $('limits').tBodies[0].replaceChildren(
      ...rows.map(([name, value, allowed, letters, state], i) =>
        row([name, A.formatG(value), allowed, letters], { id: `limit-${i}`, class: `limit ${state}`, 'data-status': state }))
    );
  }

  function fillReport(pose) {
    $('report').tBodies[0].replaceChildren(
      ...A.RECORDS.map((name) => {
        const s = pose[name];
        return row([name, ...[s.x, s.y, s.r, s.theta].map(A.formatG)],
          { id: `report-${name}`, class: name, 'data-line': A.reportLine(s) });
      })
    );
  }

  const outside = (c, value) => value < c.range[0] || value > c.range[1];

  function counterNote(c, value) {
    if (c.angle) return `${c.angle} angle`;
    const [lo, hi] = c.range;
    return outside(c, value) ? `outside ${lo}…${hi}` : `${lo}…${hi}`;
  }

  function fillCounters(counters) {
    $('counters').tBodies[0].replaceChildren(
      ...A.COUNTERS.map((c, i) =>
        row([String(i), String(counters[i]), `${c.grow} / ${c.shrink}`, c.motors, counterNote(c, counters[i])],
          { id: `counter-${i}`, class: c.range && outside(c, counters[i]) ? 'outside' : '', 'data-value': String(counters[i]) }))
    );
  }

  function clearTables() {
    for (const id of ['limits', 'report', 'counters']) $(id).tBodies[0].replaceChildren();
  }

  // ---- putting it together ----------------------------------------------

  function renderLock() {
    const el = $('lock');
    const held = state.lock.held;
    el.dataset.held = held === null ? 'unknown' : held ? '1' : '0';
    el.textContent = `Lock: ${state.lock.text}`;
    document.body.dataset.run = el.dataset.held;
  }

  function renderNote(picture) {
    const running = state.lock.held === true && picture !== 'error';
    $('pose-note').textContent = running
      ? 'A run is under way: the arm is moving. This is its pose before the run; the controller saves the new pose when the run ends.'
      : '';
  }

  function render() {
    const now = Date.now();
    const picture = pictureState(now);
    document.body.dataset.state = picture;
    renderLock();
    renderNote(picture);
    $('freshness').textContent = freshnessText(picture, now);

    const error = $('error');
    error.hidden = !state.positionError;
    error.textContent = state.positionError || '';

    if (state.pose) {
      const limits = A.limitsOf(state.pose);
      drawArm(state.pose, limits);
      fillLimits(limits);
      fillReport(state.pose);
      fillCounters(state.counters);
    } else {
      // An old pose next to an error would read as the current one.
      $('arm').replaceChildren();
      clearTables();
    }
    drawOverlay(picture, now);
    markJog();
  }

  // The age is shown even while a poll hangs, so a frozen picture never
  // looks current.
  function tick() {
    const now = Date.now();
    const picture = pictureState(now);
    if (document.body.dataset.state !== picture) render();
    else $('freshness').textContent = freshnessText(picture, now);
    if (picture === 'stale') drawOverlay(picture, now);
  }

  // ---- jog and stop -----------------------------------------------------
  // Each request goes to the CGI; the page's own guards mark a move they
  // see refused before it is sent, but only the server's answer decides.

  let pending = false;

  async function post(body) {
    const response = await fetch(CGI, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
      cache: 'no-store',
    });
    let answer = null;
    try {
      answer = await response.json();
    } catch {
      answer = null;
    }
    return { http: response.status, answer };
  }

  function reasonText(o) {
    const r = o.reason;
    const where = r.at === undefined ? '' : r.on_the_way ? ` on the way (counter ${r.counter} = ${r.at})` : '';
    return `${o.option} ${o.count} refused: ${r.guard} must be ${r.rule}; it would be ${A.formatG(r.value)}${where}, beyond by ${A.formatG(r.beyond)}`;
  }

  function showAnswer(http, answer, expected) {
    const el = $('answer');
    const lines = [];
    if (expected) lines.push(`The page expected a refusal: ${expected}.`);
    if (!answer) lines.push(`HTTP ${http}: no answer from the controller's front end.`);
    else if (answer.error) lines.push(`HTTP ${http}: ${answer.error}`);
    else {
      lines.push(`Status ${answer.status}: ${answer.meaning}`);
      for (const o of answer.options || []) if (o.refused && o.reason) lines.push(reasonText(o));
      if (answer.reasons_note) lines.push(answer.reasons_note);
      if (answer.counters) lines.push(`Counters: ${answer.counters.join(', ')}`);
    }
    el.dataset.status = answer && answer.status !== undefined ? String(answer.status) : `http-${http}`;
    el.dataset.expected = expected ? 'refused' : '';
    el.textContent = lines.join('\n');
  }

  function countOf(i) {
    const n = Number($(`jog-count-${i}`).value);
    return Number.isInteger(n) && n >= 0 && n <= 99999 ? n : null;
  }

  function expectedRefusal(letter, i) {
    const n = countOf(i);
    if (n === null) return 'the step count must be a whole number from 0 to 99999';
    return state.counters ? A.wouldRefuse(state.counters, letter, n) : null;
  }

  function markJog() {
    for (const b of document.querySelectorAll('#jog button')) {
      const why = expectedRefusal(b.dataset.letter, Number(b.dataset.counter));
      b.dataset.refused = why ? '1' : '0';
      b.title = why ? `expected to be refused: ${why}` : `${b.dataset.letter}: move counter ${b.dataset.counter}`;
      b.disabled = pending;
    }
  }

  async function jog(letter, i) {
    const n = countOf(i);
    if (n === null || pending) return;
    const expected = expectedRefusal(letter, i);
    pending = true;
    markJog();
    $('answer').dataset.status = 'pending';
    $('answer').textContent = `Sent -${letter} ${n}…`;
    try {
      const { http, answer } = await post({ options: [`-${letter}`, String(n)] });
      showAnswer(http, answer, expected);
    } catch (e) {
      showAnswer(0, null, expected);
    } finally {
      pending = false;
      markJog();
    }
  }

  async function stop() {
    try {
      const { http, answer } = await post({ stop: true });
      $('stop').dataset.answer = String(http);
      if (http !== 200) showAnswer(http, answer, null);
    } catch (e) {
      $('stop').dataset.answer = 'failed';
    }
  }

  function buildJog() {
    $('jog').tBodies[0].replaceChildren(
      ...A.COUNTERS.map((c, i) => {
        const tr = document.createElement('tr');
        const input = Object.assign(document.createElement('input'), { id: `jog-count-${i}`, type: 'number', min: '0', max: '99999', value: '100' });
        input.addEventListener('input', markJog);
        const cell = (child) => { const td = document.createElement('td'); td.append(child); return td; };
        const button = (letter) => {
          const b = Object.assign(document.createElement('button'), { type: 'button', id: `jog-${letter}`, textContent: letter });
          Object.assign(b.dataset, { letter, counter: String(i) });
          b.addEventListener('click', () => jog(letter, i));
          return b;
        };
        tr.append(cell(String(i)), cell(input), cell(button(c.grow)), cell(button(c.shrink)));
        return tr;
      })
    );
    $('stop').addEventListener('click', stop);
  }

  buildJog();
  drawBackdrop();
  render();
  poll();
  setInterval(tick, 500);
  // A hidden tab's timers are slowed; its picture's age is checked again the
  // moment it is shown.
  document.addEventListener('visibilitychange', tick);
})();

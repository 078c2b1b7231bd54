// Polls the arm's state through the CGI's GET (the state files are the arm's
// account's alone) and draws the arm, its guards and its counters; every
// picture carries how old it is.
(function () {
  'use strict';

  // The arm model (joints, letters, conditions, limits), once fetched.
  let A = null;
  const MODEL_FILE = 'arm-model.json';
  const POLL_MS = 1000;
  const FETCH_TIMEOUT_MS = 3000;
  // Beyond this age the last good read is no longer the arm's current state.
  const STALE_MS = 3500;
  const POSITION_FILE = 'robot_position.dat';
  // The CGI's URL, relative to this page unless the tag names another.
  const CGI = (document.querySelector('meta[name="armctl-cgi"]') || {}).content || 'armctl-cgi';

  // Drawing space, in arm units with y up; the floor is the foot of the base.
  const VIEW = { left: -21, right: 21, bottom: -11.5, top: 30 };
  let PIVOT = null;
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
    front: null, // the CGI's view: { stopped, by, at, deadRun }, null without an answer
    estimates: {}, // per jog row: { count, seconds, over, bound }
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

  // The front end's own view in the same answer: the STOP latch and a lock
  // left by a dead run.
  function takeFront(answer) {
    state.front = answer
      ? { stopped: answer.stopped === true, by: answer.stopped_by, at: answer.stopped_at,
        deadRun: answer.lock && answer.lock.left_by_dead_run }
      : null;
  }

  async function poll() {
    const started = Date.now();
    const outcome = await fetchState();
    const now = Date.now();
    state.lastAttemptAt = now;
    takeLock(outcome);
    takePosition(outcome, now);
    takeFront(outcome.kind === 'ok' ? outcome.answer : null);
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
    const letters = (name) => A.CONDITIONS[name].letters.join(' ');
    const marks = [
      [L.tipAbove, `tip +${L.tipAbove}: ${letters('tip_below_10')}`],
      [L.tipBelow, `tip ${L.tipBelow}: ${letters('tip_above_minus_10')}`],
      [L.tipBelowFar, `tip ${L.tipBelowFar}: ${letters('tip_above_minus_10_5')}`],
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
    const t = limits.tipHeight;
    const status = (within) => (within ? 'within' : 'beyond');
    const rowOf = (name, value, within) => {
      const c = A.CONDITIONS[name];
      return [c.quantity, value, c.rule, c.letters.join(' '), status(within)];
    };
    const rows = [
      rowOf('tip_below_10', t.value, t.withinAbove),
      rowOf('tip_above_minus_10', t.value, t.withinBelow),
      rowOf('tip_above_minus_10_5', t.value, t.withinBelowFar),
      rowOf('elbow_bend_below_50', limits.elbowBend.value, limits.elbowBend.within),
      rowOf('wrist_bend_below_80', limits.wristBend.value, limits.wristBend.within),
      rowOf('shoulder_above_minus_40', limits.shoulderAngle.value, limits.shoulderAngle.within),
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

  // The latch: every move is held until an operator clears it.
  function renderLatch() {
    const f = state.front;
    const latched = Boolean(f && f.stopped);
    $('latch').hidden = !latched;
    $('latch').dataset.latched = latched ? '1' : '0';
    document.body.dataset.latched = latched ? '1' : '0';
    if (latched) $('latch-text').textContent = `STOPPED by ${f.by || 'an unknown user'} at ${f.at || 'an unknown time'}: no move until it is cleared.`;
  }

  // A lock whose holder mark names a run of this boot that has ended: no run
  // will ever free it, an operator may.
  function renderStuck() {
    const dead = state.front && state.front.deadRun;
    $('stuck').hidden = !dead;
    if (dead) {
      const when = dead.state === 'taking' ? 'while it was taking the lock' : 'while it held the lock';
      $('stuck-text').textContent = `The lock is held by a run that has ended (${when}); no run will free it.`;
    }
  }

  function render() {
    const now = Date.now();
    const picture = pictureState(now);
    document.body.dataset.state = picture;
    renderLock();
    renderLatch();
    renderStuck();
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
    else if (answer.error) {
      lines.push(`HTTP ${http}: ${answer.error}`);
      if (answer.stopped) lines.push(`Stopped by ${answer.stopped_by} at ${answer.stopped_at}.`);
      if (answer.estimate_s !== undefined) lines.push(`Estimated motion ${answer.estimate_s.toFixed(1)} s; the bound is ${answer.bound_s} s.`);
    }
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

  function estimateText(e) {
    if (!e) return '';
    const t = `≈ ${e.seconds < 10 ? e.seconds.toFixed(1) : Math.round(e.seconds)} s`;
    return e.over ? `${t}: over the ${e.bound} s bound` : t;
  }

  function markJog() {
    for (const b of document.querySelectorAll('#jog button')) {
      const i = Number(b.dataset.counter);
      const e = state.estimates[i];
      const why = expectedRefusal(b.dataset.letter, i) || (e && e.over ? `the motion would take ${estimateText(e)}` : null);
      b.dataset.refused = why ? '1' : '0';
      b.title = why ? `expected to be refused: ${why}` : `${b.dataset.letter}: move counter ${b.dataset.counter}`;
      b.disabled = pending;
    }
    A.COUNTERS.forEach((c, i) => {
      const cell = $(`jog-estimate-${i}`);
      const e = state.estimates[i];
      cell.textContent = estimateText(e);
      cell.dataset.over = e && e.over ? '1' : '0';
    });
  }

  // The server's estimate of a row's motion, asked for as its count changes
  // (both letters of a row move the same motors), so that a long move shows
  // its time before it is sent.
  const estimateTimers = {};
  function askEstimate(i) {
    clearTimeout(estimateTimers[i]);
    estimateTimers[i] = setTimeout(async () => {
      const n = countOf(i);
      if (n === null) return;
      try {
        const { http, answer } = await post({ estimate: [`-${A.COUNTERS[i].grow}`, String(n)] });
        if (http === 200 && answer && countOf(i) === n)
          state.estimates[i] = { count: n, seconds: answer.estimate_s, over: answer.over_the_bound, bound: answer.bound_s };
      } catch {
        delete state.estimates[i];
      }
      markJog();
    }, 300);
  }

  async function jog(letter, i) {
    const n = countOf(i);
    if (n === null || pending) return;
    const expected = expectedRefusal(letter, i);
    pending = true;
    markJog();
    const e = state.estimates[i];
    $('answer').dataset.status = 'pending';
    $('answer').textContent = `Sent -${letter} ${n}…${e && e.count === n ? ` (motion ${estimateText(e)})` : ''}`;
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

  // STOP, clear and unlock: one request each; the latch and the lock are
  // shown from the answer at once and from the next poll after.
  async function operatorAction(button, body) {
    try {
      const { http, answer } = await post(body);
      $(button).dataset.answer = String(http);
      if (http !== 200) showAnswer(http, answer, null);
      if (answer && answer.stopped !== undefined) {
        state.front = Object.assign({}, state.front, { stopped: answer.stopped, by: answer.stopped_by, at: answer.stopped_at });
      }
      if (body.unlock && http === 200 && state.front) state.front.deadRun = null;
      render();
    } catch (e) {
      $(button).dataset.answer = 'failed';
    }
  }

  function buildJog() {
    $('jog').tBodies[0].replaceChildren(
      ...A.COUNTERS.map((c, i) => {
        const tr = document.createElement('tr');
        const input = Object.assign(document.createElement('input'), { id: `jog-count-${i}`, type: 'number', min: '0', max: '99999', value: '100' });
        input.addEventListener('input', () => { delete state.estimates[i]; markJog(); askEstimate(i); });
        const cell = (child) => { const td = document.createElement('td'); td.append(child); return td; };
        const button = (letter) => {
          const b = Object.assign(document.createElement('button'), { type: 'button', id: `jog-${letter}`, textContent: letter });
          Object.assign(b.dataset, { letter, counter: String(i) });
          b.addEventListener('click', () => jog(letter, i));
          return b;
        };
        const estimate = Object.assign(document.createElement('td'), { id: `jog-estimate-${i}`, className: 'estimate' });
        tr.append(cell(String(i)), cell(input), cell(button(c.grow)), cell(button(c.shrink)), estimate);
        return tr;
      })
    );
    $('stop').addEventListener('click', () => operatorAction('stop', { stop: true }));
    $('clear').addEventListener('click', () => operatorAction('clear', { clear: true }));
    $('unlock').addEventListener('click', () => operatorAction('unlock', { unlock: true }));
  }

  // The page starts once it has the arm model; without it there is nothing
  // to judge or draw with.
  async function start() {
    try {
      const response = await fetch(MODEL_FILE, { cache: 'no-store' });
      if (!response.ok) throw new Error(`HTTP ${response.status}`);
      A = window.ArmGeometry.fromModel(await response.json());
    } catch (e) {
      const error = $('error');
      error.hidden = false;
      error.textContent = `${MODEL_FILE} could not be read (${e.message}): the page cannot show the arm.`;
      return;
    }
    PIVOT = { x: 0, y: A.BASE_LENGTH };
    buildJog();
    drawBackdrop();
    render();
    poll();
    setInterval(tick, 500);
    // A hidden tab's timers are slowed; its picture's age is checked again the
    // moment it is shown.
    document.addEventListener('visibilitychange', tick);
  }

  start();
})();

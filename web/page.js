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
    login: 'unknown', // 'in' or 'out' once a request that needs the login has its answer
    wrongAddress: null, // why no POST from this address is accepted, or null
  };

  const $ = (id) => document.getElementById(id);

  // ---- reading ----------------------------------------------------------

  // The CGI's answer: {"counters": [6] or null, "report": ..., "lock": {"held": bool or null}}.
  async function fetchState() {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
    // No cache-busting query: the CGI takes only its own queries; its answers
    // say no-store.
    try {
      const response = await fetch(CGI, { cache: 'no-store', signal: abort.signal });
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
    for (const c of A.TIP_BOUNDS) {
      const h = c.limit;
      const text = `tip ${h > 0 ? '+' : ''}${h}: ${c.letters.join(' ')}`;
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
    $('limits').tBodies[0].replaceChildren(
      ...limits.each.map(({ condition: c, value, within }, i) => {
        const state = within ? 'within' : 'beyond';
        return row([c.quantity, A.formatG(value), c.rule, c.letters.join(' ')], { id: `limit-${i}`, class: `limit ${state}`, 'data-status': state });
      })
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
    renderLogin();
    $('freshness').textContent = freshnessText(picture, now);

    const error = $('error');
    const alerts = [state.positionError, state.wrongAddress].filter(Boolean);
    error.hidden = alerts.length === 0;
    error.textContent = alerts.join(' ');

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

  // Requests anyone may send; every other one needs the CGI's login, which
  // the browser asks for when the CGI answers 401 and then sends by itself.
  const OPEN_REQUESTS = ['plan', 'estimate'];

  // What an answer to a request that needs the login says of the browser's credentials.
  function noteLogin(http) {
    if (http === 401) state.login = 'out';
    else if (http !== 0) state.login = 'in';
  }

  async function readAnswer(response) {
    try {
      return await response.json();
    } catch {
      return null;
    }
  }

  // The CGI refuses a POST whose Origin it does not accept before it looks
  // at the login, and names the origins it accepts: the page is the same
  // path at the first of them.
  function wrongAddressText(accepted) {
    const here = window.location.origin;
    if (!accepted.length) return `This server names no address it accepts requests from (the page was opened at ${here}): its administrator can run armctl-cgi --check.`;
    return `This server accepts requests only from ${accepted.join(' or ')} — open the page at ${accepted[0]}${window.location.pathname} (it was opened at ${here}).`;
  }
  const errorText = (answer) => (Array.isArray(answer.accepted_origins) ? wrongAddressText(answer.accepted_origins) : answer.error);

  async function post(body) {
    const response = await fetch(CGI, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
      cache: 'no-store',
    });
    const answer = await readAnswer(response);
    const foreign = response.status === 403 && answer !== null && Array.isArray(answer.accepted_origins);
    state.wrongAddress = foreign ? wrongAddressText(answer.accepted_origins) : null;
    if (!foreign && !OPEN_REQUESTS.includes(Object.keys(body)[0])) noteLogin(response.status);
    return { http: response.status, answer };
  }

  // A GET with a query: ?poses, ?sequences, ?history.
  async function getList(query, needsLogin) {
    const response = await fetch(`${CGI}?${query}`, { cache: 'no-store' });
    if (needsLogin) noteLogin(response.status);
    return { http: response.status, answer: await readAnswer(response) };
  }

  function reasonText(o) {
    return `${o.option} ${o.count} refused: ${breachText(o.reason)}`;
  }

  // The counters an answer saved are the arm's from now on: shown at once,
  // not a poll later, so that nothing is judged or prefilled from the old ones.
  function adoptCounters(answer) {
    const c = answer && (answer.after ? answer.after.counters : answer.counters);
    if (!Array.isArray(c) || c.length !== 6 || !c.every(Number.isInteger)) return;
    state.counters = c;
    state.pose = A.poseOf(c);
  }

  function showAnswer(http, answer, expected) {
    const el = $('answer');
    const lines = [];
    if (expected) lines.push(`The page expected a refusal: ${expected}.`);
    if (!answer) lines.push(`HTTP ${http}: no answer from the controller's front end.`);
    else if (answer.error) {
      lines.push(`HTTP ${http}: ${errorText(answer)}`);
      if (answer.stopped) lines.push(`Stopped by ${answer.stopped_by} at ${answer.stopped_at}.`);
      if (answer.estimate_s !== undefined) lines.push(`Estimated motion ${answer.estimate_s.toFixed(1)} s; the bound is ${answer.bound_s} s.`);
      if (answer.plan && !answer.plan.allowed) lines.push(...planRefusalLines(answer.plan));
    }
    else if (answer.status === undefined) lines.push(`HTTP ${http}: ${doneText(answer)}`);
    else {
      lines.push(`Status ${answer.status}: ${answer.meaning}`);
      for (const o of answer.options || []) if (o.refused && o.reason) lines.push(reasonText(o));
      if (answer.reasons_note) lines.push(answer.reasons_note);
      if (answer.plan) lines.push(`Planned: ${answer.plan.options.join(' ')}`);
      if (answer.reached === false) lines.push('The run did not reach the planned counters.');
      if (answer.note) lines.push(answer.note);
      if (answer.counters) lines.push(`Counters: ${answer.counters.join(', ')}`);
    }
    adoptCounters(answer);
    el.dataset.status = answer && answer.status !== undefined ? String(answer.status) : `http-${http}`;
    el.dataset.expected = expected ? 'refused' : '';
    el.textContent = lines.join('\n');
  }

  function countOf(i) {
    const n = Number($(`jog-count-${i}`).value);
    return Number.isInteger(n) && n >= 0 && n <= A.REQUESTS.max_count ? n : null;
  }

  function expectedRefusal(letter, i) {
    const n = countOf(i);
    if (n === null) return `the step count must be a whole number from 0 to ${A.REQUESTS.max_count}`;
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
      gate(b, blockedBy(NEEDS_MOVE), why ? `expected to be refused: ${why}` : `${b.dataset.letter}: move counter ${b.dataset.counter}`);
    }
    A.COUNTERS.forEach((c, i) => {
      const cell = $(`jog-estimate-${i}`);
      const e = state.estimates[i];
      cell.textContent = estimateText(e);
      cell.dataset.over = e && e.over ? '1' : '0';
    });
    markTeach();
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
        const input = Object.assign(document.createElement('input'), { id: `jog-count-${i}`, type: 'number', min: '0', max: String(A.REQUESTS.max_count), value: '100' });
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
    $('stop').addEventListener('click', () => {
      endSequence('STOP');
      operatorAction('stop', { stop: true });
    });
    $('clear').addEventListener('click', () => operatorAction('clear', { clear: true }));
    $('unlock').addEventListener('click', () => operatorAction('unlock', { unlock: true }));
  }

  // ---- teaching: poses, plans, tip targets, sequences, re-reference, history
  // Every move here is one request to the CGI, which plans and judges it with
  // the controller's model; the page shows the plan first where the operator
  // asks for one, and refuses what its own reading of the model rules out.

  // What a button's request needs: the login; no other request of this page
  // under way (idle); no sequence playing (still); no run holding the lock,
  // whose counters are those from before it (settled); no STOP latch.
  const NEEDS_MOVE = { login: true, idle: true, still: true, unlatched: true };
  const NEEDS_REFERENCE = { login: true, idle: true, still: true, settled: true };
  const NEEDS_SAVE = { login: true, idle: true, settled: true };
  const NEEDS_CHANGE = { login: true, idle: true };
  const NEEDS_LOGIN = { login: true };

  // The CGI's rules for what is stored, checked here before sending; the
  // limits are the CGI's own, from the model.
  const NAME_CHARACTERS = /^[A-Za-z0-9 _-]*$/;
  const nameRule = () => `1 to ${A.REQUESTS.max_name_length} letters, digits, spaces, - or _`;
  // A plan that no order allows lists its first few refusals, each with the
  // orders it ends.
  const SHOWN_REFUSALS = 6;
  const LIST_REFRESH_MS = 15000;

  const teach = { poses: [], sequences: [], history: null, draft: [] };
  // The move the operator looks at before confirming it: the target as the
  // CGI takes it, the tip point (for tip targets), the CGI's plan or why none.
  let proposal = null;
  let planAsked = 0;
  let referenceOpen = false;
  const player = { running: false, name: null, end: null };

  // Why a button that needs `needs` cannot be used now, or null.
  function blockedBy(needs) {
    const f = state.front;
    if (needs.idle && pending) return 'busy: a request is under way';
    if (needs.still && player.running) return `busy: the sequence "${player.name}" is playing`;
    if (needs.settled && state.lock.held) return 'busy: a run holds the lock, and the counters are those from before it';
    if (needs.unlatched && f && f.stopped) return `latched: stopped by ${f.by || 'an unknown user'} at ${f.at || 'an unknown time'}; clear the stop first`;
    if (needs.login && state.wrongAddress) return 'this address cannot send requests: see the message at the top of the page';
    if (needs.login && state.login === 'out') return 'not logged in: use "Log in" at the top of the page';
    return null;
  }

  // A button enabled, or disabled with its reason in its tooltip and, where
  // the page has a place for it, beside it.
  function gate(button, why, title) {
    button.disabled = Boolean(why);
    button.title = why || title || '';
    button.dataset.why = why || '';
    const note = document.getElementById(`${button.id}-why`);
    if (note && button.id) note.textContent = why || '';
  }

  function nameProblem(name, what) {
    if (name === '') return `give the ${what} a name`;
    if (!NAME_CHARACTERS.test(name) || name.length > A.REQUESTS.max_name_length) return `a name is ${nameRule()}`;
    if (what === 'pose' && teach.poses.some((p) => p.builtin && p.name === name)) return `${name} is built in and cannot be replaced`;
    return null;
  }

  const wholeIn = (text, lo, hi) => /^-?\d+$/.test(text.trim()) && Number(text) >= lo && Number(text) <= hi;
  const xy = (p) => `${p[0].toFixed(3)}, ${p[1].toFixed(3)}`;

  // ---- what an answer says --------------------------------------------------

  function breachText(r) {
    const where = r.at === undefined ? '' : r.on_the_way ? ` on the way (counter ${r.counter} = ${r.at})` : '';
    return `${r.guard} must be ${r.rule}; it would be ${A.formatG(r.value)}${where}, beyond by ${A.formatG(r.beyond)}`;
  }

  function planRefusalLines(p) {
    const lines = [`Not allowed${p.reason ? `: ${p.reason}` : ''}.`];
    const refusals = p.refusals || [];
    for (const r of refusals.slice(0, SHOWN_REFUSALS)) {
      const [first] = r.orders;
      const others = r.orders.length > 1 ? ` and ${r.orders.length - 1} more` : '';
      lines.push(`Order ${first}${others}: -${r.letter} (move ${first.indexOf(r.letter) + 1} of ${first}) refused: ${breachText(r.reason)}`);
    }
    if (refusals.length > SHOWN_REFUSALS) lines.push(`… and ${refusals.length - SHOWN_REFUSALS} more refusals, each of other orders.`);
    return lines;
  }

  function planLines(p) {
    const lines = [];
    if (p.tip && p.tip.reached) lines.push(`Tip target (${xy(p.tip.target)}); the counters put it at (${xy(p.tip.reached)}), ${A.formatG(p.tip.distance)} away.`);
    else if (p.tip) lines.push(`Tip target (${xy(p.tip.target)}): no counters put the tip there.`);
    if (p.start && p.target) lines.push(`Counters ${p.start.join(', ')} → ${p.target.join(', ')}`);
    if (!p.allowed) return lines.concat(planRefusalLines(p));
    lines.push(p.options.length ? `Options: ${p.options.join(' ')}` : 'Nothing to move: the arm is there.');
    if (p.estimate_s !== undefined) lines.push(`Motion ≈ ${p.estimate_s.toFixed(1)} s`);
    for (const w of p.wrist_lag || [])
      lines.push(`Wrist lag: -${w.letter} turns the wrist motors in chunks of ten, so they stay ${w.steps} steps behind its counter.`);
    return lines;
  }

  // The answers that are no run of the controller, by the field they carry.
  const DONE = {
    pose: (a) => `saved the pose "${a.pose.name}": ${a.pose.counters.join(', ')}`,
    deleted: (a) => `deleted "${a.deleted}"`,
    after: (a) => `re-referenced: ${a.before.counters.join(', ')} → ${a.after.counters.join(', ')}`,
    sequence: (a) => `saved the sequence "${a.sequence.name}"`,
    plan: (a) => `nothing to move: the arm is at ${(a.counters || []).join(', ')}`,
  };
  function doneText(answer) {
    const key = Object.keys(DONE).find((k) => answer[k] !== undefined);
    return key ? DONE[key](answer) : 'done';
  }

  // One request at a time from the buttons; the answer shows below STOP.
  async function send(body, what) {
    if (pending) return { http: 0, answer: null };
    pending = true;
    render();
    $('answer').dataset.status = 'pending';
    $('answer').textContent = `Sent: ${what}…`;
    let result = { http: 0, answer: null };
    try {
      result = await post(body);
    } catch {
      // no answer: shown as HTTP 0 below
    }
    pending = false;
    showAnswer(result.http, result.answer, null);
    if (teach.history !== null) loadHistory();
    render();
    return result;
  }

  // ---- the lists ------------------------------------------------------------

  async function loadList(query, key, fill) {
    let note = '';
    try {
      const { http, answer } = await getList(query, false);
      if (http === 200 && answer && Array.isArray(answer[key])) {
        teach[key] = answer[key];
        if (answer.damaged) note = `The stored file is damaged (${answer.error}); nothing of it is offered.`;
      } else note = `Could not be read (HTTP ${http}).`;
    } catch {
      note = 'Could not be read (no answer).';
    }
    $(`${key}-note`).textContent = note;
    fill();
    markTeach();
  }
  const loadPoses = () => loadList('poses', 'poses', fillPoses);
  const loadSequences = () => loadList('sequences', 'sequences', fillSequences);

  async function loadHistory() {
    try {
      const { http, answer } = await getList('history', true);
      if (http === 200 && answer && Array.isArray(answer.history)) {
        teach.history = answer.history;
        fillHistory();
      }
    } catch {
      // the next request tries again
    }
    render();
  }

  function actionButton(text, act, name, onClick) {
    const b = Object.assign(document.createElement('button'), { type: 'button', textContent: text });
    Object.assign(b.dataset, { act, name });
    b.addEventListener('click', onClick);
    return b;
  }

  function cellOf(...children) {
    const td = document.createElement('td');
    td.append(...children);
    return td;
  }

  function fillPoses() {
    $('poses').tBodies[0].replaceChildren(
      ...teach.poses.map((p) => {
        const tr = row([p.name, p.counters.join(' ')], { 'data-pose': p.name });
        const del = actionButton('delete', 'delete', p.name, () => send({ delete_pose: p.name }, `delete "${p.name}"`).then(loadPoses));
        del.dataset.builtin = p.builtin ? '1' : '0';
        tr.append(cellOf(
          actionButton('go', 'go', p.name, () => send({ goto: { pose: p.name } }, `go to "${p.name}"`)),
          actionButton('plan', 'plan', p.name, () => propose({ pose: p.name }, `pose "${p.name}"`, null)),
          del));
        return tr;
      })
    );
    $('step-pose').replaceChildren(...teach.poses.map((p) => Object.assign(document.createElement('option'), { value: p.name, textContent: p.name })));
  }

  function fillSequences() {
    $('sequences').tBodies[0].replaceChildren(
      ...teach.sequences.map((s) => {
        const steps = s.steps.map((st) => `${st.pose} · ${st.pause_ms} ms`).join(' → ');
        const tr = row([s.name, steps, String(s.repeat)], { 'data-sequence': s.name });
        tr.append(cellOf(
          actionButton('play', 'play', s.name, () => play(s)),
          actionButton('delete', 'delete', s.name, () => send({ delete_sequence: s.name }, `delete "${s.name}"`).then(loadSequences))));
        return tr;
      })
    );
  }

  function fillHistory() {
    const counters = (c) => (Array.isArray(c) ? c.join(' ') : '—');
    $('history').tBodies[0].replaceChildren(
      ...teach.history.map((h) => row([h.time, h.user, JSON.stringify(h.request), String(h.status), `${counters(h.before)} → ${counters(h.after)}`]))
    );
  }

  // ---- plans and the ghost ----------------------------------------------------

  // Asks the CGI for a plan (it moves nothing); a tip target that the page's
  // reading of the model rules out is refused here without asking.
  async function propose(target, what, tip) {
    const ask = ++planAsked;
    closeReference();
    proposal = { target, what, tip, plan: null, problem: tip && state.pose ? A.tipTargetProblem(state.pose, tip[0], tip[1]) : null };
    showPlan();
    if (proposal.problem) return;
    let problem = null;
    let plan = null;
    try {
      const { http, answer } = await post({ plan: target });
      if (http === 200 && answer) plan = answer;
      else problem = `no plan: HTTP ${http}${answer && answer.error ? `: ${errorText(answer)}` : ''}`;
    } catch {
      problem = 'no plan: no answer';
    }
    if (ask !== planAsked || !proposal) return;
    Object.assign(proposal, { plan, problem });
    showPlan();
  }

  function planState() {
    if (!proposal) return 'none';
    if (proposal.problem) return 'refused';
    if (!proposal.plan) return 'asking';
    return proposal.plan.allowed ? 'allowed' : 'refused';
  }

  function showPlan() {
    const el = $('plan');
    el.hidden = !proposal;
    el.dataset.state = planState();
    if (proposal) {
      $('plan-what').textContent = proposal.what;
      const lines = proposal.problem ? [`Refused on this page: ${proposal.problem}.`]
        : proposal.plan ? planLines(proposal.plan) : ['Asking the arm\'s front end for a plan…'];
      $('plan-text').textContent = lines.join('\n');
    }
    drawGhost();
    markTeach();
  }

  function closePlan() {
    proposal = null;
    planAsked++;
    showPlan();
  }

  function planGoProblem() {
    const s = planState();
    if (s === 'asking') return 'waiting for the plan';
    if (s === 'refused') return 'the move is not allowed';
    return blockedBy(NEEDS_MOVE);
  }

  async function confirmPlan() {
    if (planGoProblem()) return;
    const { target, what } = proposal;
    closePlan();
    await send({ goto: target }, `go to ${what}`);
  }

  // The segments of the pose to confirm: the plan's end report, or the pose
  // the counters typed into the re-reference dialog describe.
  function ghostPose() {
    if (referenceOpen) {
      const c = referenceCounters();
      return c && A.poseOf(c);
    }
    const report = proposal && proposal.plan && proposal.plan.end_report;
    if (!report) return null;
    return Object.fromEntries(A.RECORDS.map((name, i) => [name, { x: report[i][0], y: report[i][1] }]));
  }

  function drawGhost() {
    const g = $('ghost');
    g.replaceChildren();
    const refused = planState() === 'refused';
    g.setAttribute('class', refused ? 'ghost refused' : 'ghost');
    const pose = ghostPose();
    if (pose) {
      const joints = [PIVOT];
      for (const s of A.SEGMENTS) {
        const from = joints[joints.length - 1];
        joints.push({ x: from.x + pose[s.name].x, y: from.y + pose[s.name].y });
      }
      const tip = joints[joints.length - 1];
      g.append(svg('polyline', { points: joints.map((p) => `${sx(p.x)},${sy(p.y)}`).join(' '), class: 'ghost-arm' }));
      g.append(svg('circle', { id: 'ghost-tip', cx: sx(tip.x), cy: sy(tip.y), r: 0.45, class: 'ghost-tip', 'data-tip': `${tip.x - PIVOT.x},${tip.y - PIVOT.y}` }));
    }
    if (proposal && proposal.tip) {
      const t = { x: PIVOT.x + proposal.tip[0], y: PIVOT.y + proposal.tip[1] };
      g.append(line({ x: t.x - 0.8, y: t.y }, { x: t.x + 0.8, y: t.y }, 'target-mark'));
      g.append(line({ x: t.x, y: t.y - 0.8 }, { x: t.x, y: t.y + 0.8 }, 'target-mark'));
    }
  }

  // ---- tip targets --------------------------------------------------------------

  // A point of the picture in the arm's plane coordinates: the SVG's own
  // screen transform takes it to drawing space (y down, as `sy` draws), whose
  // origin is the foot of the base under the shoulder pivot.
  function armPointAt(event) {
    const m = $('arm-view').getScreenCTM();
    if (!m) return null;
    const u = new DOMPoint(event.clientX, event.clientY).matrixTransform(m.inverse());
    return { x: u.x - PIVOT.x, y: -u.y - PIVOT.y };
  }

  function tipTarget(x, y, what) {
    propose({ tip: [x, y] }, `tip to (${x.toFixed(2)}, ${y.toFixed(2)})${what}`, [x, y]);
  }

  function tipStep() {
    const step = Number($('tip-step').value);
    return step > 0 && step <= 40 ? step : null;
  }

  function tipJog(button) {
    const step = tipStep();
    if (!state.pose || step === null) return;
    const { x, y } = state.pose.total;
    tipTarget(x + Number(button.dataset.dx) * step, y + Number(button.dataset.dy) * step, `, ${button.textContent.slice(2)} by ${step}`);
  }

  function clickTarget(event) {
    const p = state.pose && armPointAt(event);
    if (p) tipTarget(p.x, p.y, '');
  }

  // ---- re-reference -------------------------------------------------------------

  const referenceInputs = () => [...document.querySelectorAll('#reference-counters input')];

  function referenceProblem() {
    for (const [i, input] of referenceInputs().entries()) {
      const range = A.COUNTERS[i].range || A.INT32;
      if (!wholeIn(input.value, range[0], range[1])) return `counter ${i} must be a whole number from ${range[0]} to ${range[1]}`;
    }
    return null;
  }

  const referenceCounters = () => (referenceProblem() ? null : referenceInputs().map((i) => Number(i.value)));

  function openReference() {
    if (!state.counters) return;
    closePlan();
    referenceOpen = true;
    referenceInputs().forEach((input, i) => { input.value = String(state.counters[i]); });
    $('reference-form').hidden = false;
    drawGhost();
    markTeach();
  }

  function closeReference() {
    referenceOpen = false;
    $('reference-form').hidden = true;
    drawGhost();
  }

  async function confirmReference() {
    const counters = referenceCounters();
    if (!counters || blockedBy(NEEDS_REFERENCE)) return;
    const { http } = await send({ reference: counters }, `re-reference to ${counters.join(', ')}`);
    if (http === 200) closeReference();
  }

  // ---- sequences ----------------------------------------------------------------

  function stepProblem() {
    if (!$('step-pose').value) return 'no pose to add';
    const { max_pause_ms: pauseMs, max_sequence_steps: steps } = A.REQUESTS;
    if (!wholeIn($('step-pause').value, 0, pauseMs)) return `the pause is 0 to ${pauseMs} ms`;
    if (teach.draft.length >= steps) return `at most ${steps} steps`;
    return null;
  }

  function sequenceProblem() {
    return nameProblem($('sequence-name').value, 'sequence')
      || (teach.draft.length ? null : 'add at least one step')
      || (wholeIn($('sequence-repeat').value, 1, A.REQUESTS.max_repeat) ? null : `repeat 1 to ${A.REQUESTS.max_repeat} times`);
  }

  function fillDraft() {
    $('sequence-steps').replaceChildren(
      ...teach.draft.map((st, i) => {
        const li = document.createElement('li');
        const drop = Object.assign(document.createElement('button'), { type: 'button', textContent: '×', title: 'remove this step' });
        drop.addEventListener('click', () => { teach.draft.splice(i, 1); fillDraft(); });
        li.append(`${st.pose}, then ${st.pause_ms} ms `, drop);
        return li;
      })
    );
    markTeach();
  }

  function addStep() {
    if (stepProblem()) return;
    teach.draft.push({ pose: $('step-pose').value, pause_ms: Number($('step-pause').value) });
    fillDraft();
  }

  async function saveSequence() {
    if (sequenceProblem()) return;
    const body = { save_sequence: { name: $('sequence-name').value, steps: teach.draft, repeat: Number($('sequence-repeat').value) } };
    const { http } = await send(body, `save the sequence "${body.save_sequence.name}"`);
    if (http !== 200) return;
    teach.draft = [];
    $('sequence-name').value = '';
    fillDraft();
    loadSequences();
  }

  function showPlayer(what, text, step) {
    Object.assign($('player').dataset, { state: what, step: step === undefined ? '' : String(step) });
    $('player').textContent = text;
    $('player-end').hidden = !player.running;
  }

  // Ends early when the operator asks or STOP is pressed; a pause is cut short.
  function pause(ms) {
    return new Promise((resolve) => {
      const until = Date.now() + ms;
      const timer = setInterval(() => {
        if (player.end || Date.now() >= until) {
          clearInterval(timer);
          resolve();
        }
      }, 50);
    });
  }

  function endSequence(why) {
    if (player.running && !player.end) player.end = why;
  }

  // One goto per step, each sent only when the one before has been answered:
  // an unattended page (closed, or its machine asleep) never keeps the arm
  // going. Any answer but a clean run ends the sequence.
  async function runSteps(seq) {
    const last = seq.steps.length * seq.repeat;
    for (let n = 0; n < last; n++) {
      const step = seq.steps[n % seq.steps.length];
      const where = `round ${Math.floor(n / seq.steps.length) + 1} of ${seq.repeat}, step ${(n % seq.steps.length) + 1} of ${seq.steps.length}`;
      showPlayer('moving', `"${seq.name}" ${where}: going to "${step.pose}"`, n % seq.steps.length);
      let result = { http: 0, answer: null };
      try {
        result = await post({ goto: { pose: step.pose } });
      } catch {
        // HTTP 0 ends it below
      }
      showAnswer(result.http, result.answer, null);
      const status = result.answer && result.answer.status;
      if (result.http !== 200 || (status !== undefined && status !== 0))
        return `ended at ${where}: ${result.http !== 200 ? `HTTP ${result.http}` : `status ${status}`}`;
      if (player.end) return `ended at ${where}: ${player.end}`;
      if (n + 1 === last) break;
      showPlayer('pausing', `"${seq.name}" ${where}: at "${step.pose}", pausing ${step.pause_ms} ms`, n % seq.steps.length);
      await pause(step.pause_ms);
      if (player.end) return `ended at ${where}: ${player.end}`;
    }
    return 'played to its end';
  }

  async function play(seq) {
    if (blockedBy(NEEDS_MOVE)) return;
    Object.assign(player, { running: true, name: seq.name, end: null });
    render();
    let outcome;
    try {
      outcome = await runSteps(seq);
    } finally {
      player.running = false;
      showPlayer(outcome === 'played to its end' ? 'done' : 'ended', `"${seq.name}" ${outcome || 'ended'}.`);
      if (teach.history !== null) loadHistory();
      render();
    }
  }

  // ---- buttons ------------------------------------------------------------------

  function renderLogin() {
    const words = { unknown: 'Login: not asked yet (the browser asks at the first move)', in: 'Logged in', out: 'Not logged in', address: 'Requests refused at this address' };
    const shown = state.wrongAddress ? 'address' : state.login;
    $('login-state').textContent = words[shown];
    $('login-state').dataset.login = shown;
    $('login').hidden = state.login === 'in';
  }

  function markTeach() {
    if (!A) return;
    const noPose = state.counters ? null : 'no pose read yet';
    const rows = {
      go: () => blockedBy(NEEDS_MOVE),
      plan: () => noPose,
      delete: (b) => (b.dataset.builtin === '1' ? `${b.dataset.name} is built in and cannot be deleted` : blockedBy(NEEDS_CHANGE)),
      play: () => blockedBy(NEEDS_MOVE),
    };
    for (const b of document.querySelectorAll('#poses button, #sequences button')) {
      const playing = player.running && player.name === b.dataset.name && b.closest('#sequences');
      gate(b, rows[b.dataset.act](b) || (playing ? 'it is playing' : null), `${b.dataset.act} "${b.dataset.name}"`);
    }
    gate($('pose-save'), nameProblem($('pose-name').value, 'pose') || noPose || blockedBy(NEEDS_SAVE), 'saves the counters as they are now');
    gate($('back'), blockedBy(NEEDS_MOVE), 'goes to the counters before the last move the front end made');
    gate($('step-add'), stepProblem());
    gate($('sequence-save'), sequenceProblem() || blockedBy(NEEDS_CHANGE));
    gate($('plan-go'), planGoProblem(), 'moves the arm as planned');
    gate($('reference-open'), noPose || blockedBy(NEEDS_REFERENCE));
    gate($('reference-set'), referenceProblem() || blockedBy(NEEDS_REFERENCE), 'sets the counters; nothing moves');
    const tipWhy = noPose || (tipStep() === null ? 'the step is a length above 0, at most 40' : null);
    for (const b of document.querySelectorAll('#tip-jog button')) gate(b, tipWhy, `plans a tip move ${b.textContent.slice(2)}`);
    for (const id of ['clear', 'unlock']) gate($(id), blockedBy(NEEDS_LOGIN));
  }

  function buildTeach() {
    $('reference-counters').replaceChildren(
      ...A.COUNTERS.map((c, i) => {
        const input = Object.assign(document.createElement('input'), { id: `reference-${i}`, type: 'number', step: '1' });
        input.addEventListener('input', () => { drawGhost(); markTeach(); });
        const labelEl = document.createElement('label');
        labelEl.append(`${i} `, input);
        return labelEl;
      })
    );
    const R = A.REQUESTS;
    for (const id of ['pose-name', 'sequence-name']) $(id).maxLength = R.max_name_length;
    $('sequence-repeat').max = String(R.max_repeat);
    $('step-pause').max = String(R.max_pause_ms);
    const on = (id, event, f) => $(id).addEventListener(event, f);
    on('arm-view', 'click', clickTarget);
    for (const b of document.querySelectorAll('#tip-jog button')) b.addEventListener('click', () => tipJog(b));
    on('tip-step', 'input', markTeach);
    on('plan-go', 'click', confirmPlan);
    on('plan-cancel', 'click', closePlan);
    on('pose-name', 'input', markTeach);
    on('pose-save', 'click', async () => {
      const name = $('pose-name').value;
      if ((await send({ save_pose: name }, `save the pose "${name}"`)).http === 200) $('pose-name').value = '';
      loadPoses();
    });
    on('back', 'click', () => send({ back: true }, 'back to before the last move'));
    on('reference-open', 'click', openReference);
    on('reference-cancel', 'click', () => { closeReference(); markTeach(); });
    on('reference-set', 'click', confirmReference);
    on('step-add', 'click', addStep);
    for (const id of ['sequence-name', 'sequence-repeat', 'step-pause', 'step-pose']) on(id, 'input', markTeach);
    on('sequence-save', 'click', saveSequence);
    on('player-end', 'click', () => endSequence('ended by the operator after the move'));
    on('history-load', 'click', loadHistory);
    on('login', 'click', loadHistory);
    loadPoses();
    loadSequences();
    setInterval(() => { loadPoses(); loadSequences(); }, LIST_REFRESH_MS);
  }

  // The page starts once it has the arm model; without it there is nothing
  // to judge or draw with.
  async function start() {
    try {
      const response = await fetch(MODEL_FILE, { cache: 'no-store' });
      if (!response.ok) throw new Error(`HTTP ${response.status}`);
      A = window.ArmModel.fromModel(await response.json());
    } catch (e) {
      const error = $('error');
      error.hidden = false;
      error.textContent = `${MODEL_FILE} could not be read (${e.message}): the page cannot show the arm.`;
      return;
    }
    PIVOT = { x: 0, y: A.BASE_LENGTH };
    buildJog();
    buildTeach();
    drawBackdrop();
    render();
    poll();
    // An estimate moves nothing and needs no login: its answer tells at once
    // whether this address may send requests at all.
    post({ estimate: ['-Q'] }).then(render, () => {});
    setInterval(tick, 500);
    // A hidden tab's timers are slowed; its picture's age is checked again the
    // moment it is shown.
    document.addEventListener('visibilitychange', tick);
  }

  start();
})();

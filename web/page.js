// The page's entry: follows the arm's state as its server pushes it (the
// state files are the arm's account's alone), polls the state only while
// that stream is down, and draws it; every picture carries how old it is.
import {
  $,
  API,
  EVENTS,
  MODEL_FILE,
  POSITION_FILE,
  POLL_MS,
  MOVING_POLL_MS,
  STREAM_RETRY_MS,
  FETCH_TIMEOUT_MS,
  STALE_MS,
  model,
  state,
  busy,
  hooks,
  jointsOf,
  post,
} from './core.js';
import { drawBackdrop, drawArm, drawExpected, drawGhost, drawOverlay, clearArm } from './draw.js';
import { fillLimits, fillReport, fillCounters, clearTables } from './tables.js';
import { renderPanel, wirePanel, whoami } from './panel.js';
import { takeControl, drivenBy } from './control.js';
import { buildJog, markJog, judgeNewCounters } from './jog.js';
import { wireHold } from './hold.js';
import { buildTeach, markTeach, renderPlayer, ghost } from './teach.js';
import { wirePreview } from './preview.js';
import { markBackup, wireBackup } from './backup.js';

// ---- reading ----------------------------------------------------------

async function fetchState() {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
  // No cache-busting query: the answers say no-store.
  try {
    const response = await fetch(API, { cache: 'no-store', signal: abort.signal });
    if (!response.ok) return { kind: 'http', status: response.status };
    return { kind: 'ok', answer: await response.json() };
  } catch (e) {
    return { kind: 'unreachable', reason: e.name === 'AbortError' ? 'no answer in time' : 'no answer' };
  } finally {
    clearTimeout(timer);
  }
}

const sixCounters = (c) => Array.isArray(c) && c.length === 6 && c.every(Number.isInteger);

function takePosition(outcome, now) {
  if (outcome.kind === 'unreachable') {
    state.unreachable = `the arm's server: ${outcome.reason}`;
    return;
  }
  state.unreachable = null;
  state.pose = null;
  state.counters = null;
  if (outcome.kind === 'http') {
    state.positionError = `The arm's state could not be read (HTTP ${outcome.status}).`;
    return;
  }
  const c = outcome.answer.counters;
  if (c === null) state.positionError = `${POSITION_FILE} is missing or unreadable: no run has saved a pose here yet.`;
  else if (!sixCounters(c))
    state.positionError = `The arm's state came back without six counters: ${JSON.stringify(c)}`;
  else {
    state.positionError = null;
    state.counters = c;
    state.pose = model.A.poseOf(c);
    state.poseReadAt = now;
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

// The end of the server's last run, the same on every page.
function lastRunOf(r) {
  return r && Number.isInteger(r.status) ? { status: r.status, meaning: r.meaning, at: r.at } : null;
}

// The front end's own view in the same answer: the STOP latch (who only for
// a logged-in reader), a lock left by a dead run, the run in progress, the
// last run's end and the joints' names from its settings.
function takeFront(answer) {
  if (!answer) {
    state.front = null;
    return;
  }
  state.front = {
    stopped: answer.stopped === true,
    by: answer.stopped_by,
    from: answer.stopped_from,
    at: answer.stopped_at,
    deadRun: answer.lock && answer.lock.left_by_dead_run,
    drift: answer.drift && sixCounters(answer.drift.counters) ? answer.drift : null,
  };
  const run = answer.run;
  state.run = run && sixCounters(run.expected) ? run : run === null ? null : undefined;
  state.lastRun = lastRunOf(answer.last_run);
  state.sequence = answer.sequence && typeof answer.sequence === 'object' ? answer.sequence : null;
  state.sequenceEnd = answer.sequence_end && typeof answer.sequence_end === 'object' ? answer.sequence_end : null;
  takeControl(answer);
  if (Array.isArray(answer.joint_names) && answer.joint_names.length === 6) state.jointNames = answer.joint_names;
  if (Array.isArray(answer.joint_words) && answer.joint_words.length === 6) state.jointWords = answer.joint_words;
}

// One state, from the stream or a poll, drawn alike.
function take(outcome) {
  const now = Date.now();
  state.lastAttemptAt = now;
  takeLock(outcome);
  takePosition(outcome, now);
  takeFront(outcome.kind === 'ok' ? outcome.answer : null);
  render();
}

const moving = () => Boolean(state.run) || busy.pending || Boolean(state.sequence);

// The stream: while it is open the server sends each change within 100 ms
// and, while a run moves, a state every 250 ms; when idle only a comment,
// which EventSource does not show. So an open stream's last state is the
// arm's, except a silent one while a run moves. EventSource reconnects by
// itself after a network error, but gives up on an answer that is no
// stream (a 503 while the daemon is down): then it is asked for again.
const stream = { open: false, lastEventAt: 0, retry: null, source: null, login: undefined };

function streamCurrent(now) {
  return stream.open && !(state.run && now - stream.lastEventAt > STALE_MS);
}

function follow() {
  clearTimeout(stream.retry);
  if (stream.source) stream.source.close();
  stream.open = false;
  stream.login = loginKey();
  const source = new EventSource(EVENTS);
  stream.source = source;
  source.addEventListener('open', () => {
    stream.open = true;
    stream.lastEventAt = Date.now();
    clearTimeout(pollTimer);
  });
  source.addEventListener('state', (event) => {
    let answer;
    try {
      answer = JSON.parse(event.data);
    } catch {
      return; // not a state: the next one, or a poll, tells
    }
    stream.lastEventAt = Date.now();
    take({ kind: 'ok', answer });
  });
  source.addEventListener('error', () => {
    // What the open stream last said held until now.
    if (streamCurrent(Date.now()) && state.pose) state.poseReadAt = Date.now();
    stream.open = false;
    if (source.readyState === EventSource.CLOSED) stream.retry = setTimeout(follow, STREAM_RETRY_MS);
    poll();
  });
}

// The server shows names only to the login that the stream was opened with:
// a login or a log out opens it again.
const loginKey = () => `${state.login === 'in'}:${state.user}`;
function followLogin() {
  if (stream.source && stream.login !== loginKey()) follow();
}

let pollTimer = null;
let polling = false;
async function poll() {
  clearTimeout(pollTimer);
  if (polling || stream.open) return;
  polling = true;
  const started = Date.now();
  const outcome = await fetchState();
  polling = false;
  // The stream opened meanwhile: its first state is newer than this answer.
  if (stream.open) return;
  take(outcome);
  const took = Date.now() - started;
  pollTimer = setTimeout(poll, Math.max(0, (moving() ? MOVING_POLL_MS : POLL_MS) - took));
}

// ---- what to show -----------------------------------------------------

// When the picture was last known to be the arm's: now, while the stream is current.
const readAt = (now) => (streamCurrent(now) ? now : state.poseReadAt);

function pictureState(now) {
  if (state.positionError) return 'error';
  if (!state.pose) return 'loading';
  return now - readAt(now) > STALE_MS ? 'stale' : 'ok';
}

const clock = (t) => new Date(t).toLocaleTimeString([], { hour12: false });
const secondsAgo = (now, t) => `${Math.max(0, Math.round((now - t) / 1000))} s ago`;

function freshnessText(picture, now) {
  const why = state.unreachable ? ` (${state.unreachable})` : '';
  const texts = {
    loading: () => `Reading the arm's state…${why}`,
    error: () => `No pose to show · last try ${clock(state.lastAttemptAt)}`,
    stale: () => `STALE: last good read ${clock(readAt(now))}, ${secondsAgo(now, readAt(now))}${why}`,
    ok: () =>
      streamCurrent(now)
        ? `Live from the arm's server, last state ${clock(stream.lastEventAt)}`
        : `Read ${clock(state.poseReadAt)}, ${secondsAgo(now, state.poseReadAt)}`,
  };
  return texts[picture]();
}

function overlayWords(picture, now) {
  return {
    loading: ['Reading…', ''],
    error: ['No picture', 'see the message above'],
    stale: ['STALE', `last good read ${secondsAgo(now, readAt(now))}`],
    ok: null,
  }[picture];
}

function renderLock() {
  const el = $('lock');
  const held = state.lock.held;
  el.dataset.held = held === null ? 'unknown' : held ? '1' : '0';
  el.textContent = `Lock: ${state.lock.text}`;
  document.body.dataset.run = el.dataset.held;
}

function renderNote(picture) {
  const running = state.lock.held === true && picture !== 'error';
  const expected = running && state.run ? '; dashed, where the run is expected now' : '';
  $('pose-note').textContent = running
    ? `A run is moving the arm. Solid: its pose before the run, until the run saves the new one${expected}.`
    : '';
}

function render() {
  followLogin();
  const now = Date.now();
  const picture = pictureState(now);
  document.body.dataset.state = picture;
  renderLock();
  renderPanel();
  renderNote(picture);
  $('freshness').textContent = freshnessText(picture, now);
  const alerts = [state.positionError, state.wrongAddress].filter(Boolean);
  $('error').hidden = alerts.length === 0;
  $('error').textContent = alerts.join(' ');
  if (state.pose) {
    const limits = model.A.limitsOf(state.pose);
    drawArm(state.pose, limits);
    fillLimits(limits);
    fillReport(state.pose);
    fillCounters(state.counters);
  } else {
    // An old pose next to an error would read as the current one.
    clearArm();
    clearTables();
  }
  drawExpected(state.run && state.lock.held ? state.run.expected : null);
  const g = ghost();
  drawGhost(g.pose, g.tip, g.refused);
  drawOverlay(overlayWords(picture, now), picture);
  judgeNewCounters();
  markJog();
  markTeach();
  renderPlayer();
  markBackup();
}

// The age is shown even while a poll hangs or a moving run's stream falls
// silent, so a frozen picture never looks current.
function tick() {
  const now = Date.now();
  const picture = pictureState(now);
  if (document.body.dataset.state !== picture) render();
  else $('freshness').textContent = freshnessText(picture, now);
  if (picture === 'stale') drawOverlay(overlayWords(picture, now), picture);
}

// The page starts once it has the arm model; without it there is nothing
// to draw with.
async function start() {
  try {
    const response = await fetch(MODEL_FILE, { cache: 'no-store' });
    if (!response.ok) throw new Error(`HTTP ${response.status}`);
    model.json = await response.json();
    model.A = window.ArmModel.fromModel(model.json);
  } catch (e) {
    $('error').hidden = false;
    $('error').textContent = `${MODEL_FILE} could not be read (${e.message}): the page cannot show the arm.`;
    return;
  }
  model.PIVOT = { x: 0, y: model.A.BASE_LENGTH };
  model.joints = jointsOf(model.json);
  hooks.render = render;
  hooks.drivenBy = drivenBy;
  hooks.pollSoon = () => {
    if (!stream.open) setTimeout(poll, 0);
  };
  wirePanel();
  wirePreview();
  buildJog();
  wireHold();
  buildTeach();
  wireBackup();
  drawBackdrop();
  render();
  follow();
  // Until the stream opens, the state is polled.
  pollTimer = setTimeout(poll, POLL_MS);
  whoami();
  // An estimate moves nothing and needs no login: its answer tells at once
  // whether this address may send requests at all.
  post({ estimate: ['-Q'] }).then(render, () => {});
  setInterval(tick, 500);
  // A hidden tab's timers are slowed; its picture's age is checked again the
  // moment it is shown.
  document.addEventListener('visibilitychange', tick);
}

start();

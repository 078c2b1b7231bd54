// The page's entry: reads the arm's state through the CGI's GET (the state
// files are the arm's account's alone), every second, and four times a
// second while a run moves, and draws it; every picture carries how old it is.
import {
  $,
  CGI,
  MODEL_FILE,
  POSITION_FILE,
  POLL_MS,
  MOVING_POLL_MS,
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
import { buildJog, markJog } from './jog.js';
import { buildTeach, markTeach, ghost } from './teach.js';
import { wirePreview } from './preview.js';
import { markBackup, wireBackup } from './backup.js';

// ---- reading ----------------------------------------------------------

async function fetchState() {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
  // No cache-busting query: the CGI takes only its own queries; its answers say no-store.
  try {
    const response = await fetch(CGI, { cache: 'no-store', signal: abort.signal });
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
    state.unreachable = `the arm's CGI: ${outcome.reason}`;
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

// The front end's own view in the same answer: the STOP latch (who only for
// a logged-in reader), a lock left by a dead run, the run in progress and
// the joints' names from its settings.
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
  };
  const run = answer.run;
  state.run = run && sixCounters(run.expected) ? run : run === null ? null : undefined;
  if (Array.isArray(answer.joint_names) && answer.joint_names.length === 6) state.jointNames = answer.joint_names;
  if (Array.isArray(answer.joint_words) && answer.joint_words.length === 6) state.jointWords = answer.joint_words;
}

const moving = () => Boolean(state.run) || busy.pending || busy.player.running;

let pollTimer = null;
let polling = false;
async function poll() {
  clearTimeout(pollTimer);
  if (polling) return;
  polling = true;
  const started = Date.now();
  const outcome = await fetchState();
  const now = Date.now();
  state.lastAttemptAt = now;
  takeLock(outcome);
  takePosition(outcome, now);
  takeFront(outcome.kind === 'ok' ? outcome.answer : null);
  polling = false;
  render();
  pollTimer = setTimeout(poll, Math.max(0, (moving() ? MOVING_POLL_MS : POLL_MS) - (now - started)));
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
  const why = state.unreachable ? ` (${state.unreachable})` : '';
  const texts = {
    loading: () => `Reading the arm's state…${why}`,
    error: () => `No pose to show · last try ${clock(state.lastAttemptAt)}`,
    stale: () => `STALE: last good read ${clock(state.poseReadAt)}, ${secondsAgo(now, state.poseReadAt)}${why}`,
    ok: () => `Read ${clock(state.poseReadAt)}, ${secondsAgo(now, state.poseReadAt)}`,
  };
  return texts[picture]();
}

function overlayWords(picture, now) {
  return {
    loading: ['Reading…', ''],
    error: ['No picture', 'see the message above'],
    stale: ['STALE', `last good read ${secondsAgo(now, state.poseReadAt)}`],
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
  markJog();
  markTeach();
  markBackup();
}

// The age is shown even while a poll hangs, so a frozen picture never looks current.
function tick() {
  const now = Date.now();
  const picture = pictureState(now);
  if (document.body.dataset.state !== picture) render();
  else $('freshness').textContent = freshnessText(picture, now);
  if (picture === 'stale') drawOverlay(overlayWords(picture, now), picture);
}

// The page starts once it has the arm model; without it there is nothing
// to judge or draw with.
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
  hooks.pollSoon = () => setTimeout(poll, 0);
  wirePanel();
  wirePreview();
  buildJog();
  buildTeach();
  wireBackup();
  drawBackdrop();
  render();
  poll();
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

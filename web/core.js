// What every part of the page shares: the arm model once fetched, the arm's
// state as its server last gave it, the requests to that server (the API),
// and who may press what.

export const $ = (id) => document.getElementById(id);

// The API's URL, relative to this page unless the tag names another.
export const API = document.querySelector('meta[name="armctl-api"]')?.content || 'api';
// The stream of the arm's state that the server pushes to every page.
export const EVENTS = `${API}?events`;
export const MODEL_FILE = 'arm-model.json';
export const POSITION_FILE = 'robot_position.dat';
// The page polls only while the stream is down: this often, and, while a
// run moves, often enough to draw its expected pose.
export const POLL_MS = 1000;
export const MOVING_POLL_MS = 250;
// A stream the server refused or ended for good is asked for again this late.
export const STREAM_RETRY_MS = 5000;
export const FETCH_TIMEOUT_MS = 3000;
// Beyond this age the last good read is no longer the arm's current state.
export const STALE_MS = 3500;

// The arm model (ArmModel of arm.js), the model file as read, the shoulder
// pivot in drawing space, and the joints' names.
export const model = { A: null, json: null, PIVOT: null, joints: [] };

export const state = {
  pose: null, // last good pose
  counters: null,
  poseReadAt: 0, // when the position file last read well
  positionError: null, // why there is no pose to show
  unreachable: null, // why the last attempt got no answer at all
  lock: { held: null, text: 'not read yet' },
  lastAttemptAt: 0,
  front: null, // the server's view: { stopped, by, from, at, deadRun }, null without an answer
  run: null, // the run in progress as GET serves it, or null
  jointNames: null, // the settings' names of the six counters, when served
  jointWords: null, // and their directions' words: [{ plus, minus }]
  estimates: {}, // per motion letter: { count, start, seconds, over, bound, refused, reason }
  // 'in'; 'none' (no login sent yet); 'out' (a request needing it got none, or logged out);
  // 'wrong' (a wrong one); or 'unknown'
  login: 'unknown',
  user: null,
  control: null, // who drives, as the state tells (control.js)
  wrongAddress: null, // why no POST from this address is accepted, or null
  lastRun: null, // the server's last run, the same on every page: { status, meaning, at }
  sequence: null, // the sequence the arm's PC plays: { name, step, steps, repeat, repeats, state }
  sequenceEnd: null, // how the last one ended: { name, step, repeat, outcome, at }
};

// One request of the buttons at a time; a sequence plays one move at a time.
export const busy = { pending: false };

// Set by the page's entry: redraw everything, and read the state again at
// once (nothing while the stream pushes it); drivenBy (control.js): why the
// moves wait for another operator's drive, or null.
export const hooks = { render: () => {}, pollSoon: () => {}, drivenBy: () => null };

// ---- joints ---------------------------------------------------------------

// Each counter's name and direction words: arm-model.json's, or, from an
// older model file, derived from the segment the counter sets (its angle
// grows counter-clockwise, so up) or from the counter and its motors.
export function jointsOf(json) {
  return json.joints.map((j, i) => {
    const motors = `motor${j.motors.includes(',') ? 's' : ''} ${j.motors}`;
    const name = j.name || j.segment || `counter ${i} (${motors})`;
    const raises = (j.degrees_per_count || 0) >= 0;
    const [up, down] = j.segment ? (raises ? ['up', 'down'] : ['down', 'up']) : ['+', '−'];
    return {
      counter: i,
      name,
      motors,
      plus: j.plus || `${name} ${up}`,
      minus: j.minus || `${name} ${down}`,
      letters: j.letters || { plus: j.grow, minus: j.shrink },
    };
  });
}

// The joint as shown: the settings' name, served with the state, before the model's.
export function joint(i) {
  const j = model.joints[i];
  const served = state.jointNames && state.jointNames[i];
  const words = state.jointWords && state.jointWords[i];
  if (served && words && words.plus && words.minus) return { ...j, name: served, plus: words.plus, minus: words.minus };
  if (!served || served === j.name) return j;
  const rename = (word) => (word.startsWith(j.name) ? served + word.slice(j.name.length) : `${served} ${word}`);
  return { ...j, name: served, plus: rename(j.plus), minus: rename(j.minus) };
}

// A direction's word without the joint's name: "up" of "elbow up".
export function direction(i, sign) {
  const j = joint(i);
  const word = sign > 0 ? j.plus : j.minus;
  return word.startsWith(j.name) ? word.slice(j.name.length).trim() : word;
}

// The joint and word that a motion letter moves.
export function letterWords(letter) {
  for (const [i] of model.joints.entries()) {
    const j = joint(i);
    if (j.letters.plus === letter) return { counter: i, word: j.plus, sign: 1 };
    if (j.letters.minus === letter) return { counter: i, word: j.minus, sign: -1 };
  }
  return null;
}

export const sameCounters = (a, b) =>
  Array.isArray(a) && Array.isArray(b) && a.length === b.length && a.every((c, i) => c === b[i]);

// A controller status and its meaning, from the model's status list.
export function statusText(code) {
  const s = model.A.STATUSES.find((x) => x.code === code);
  return s ? `status ${code} (${s.name}): ${s.meaning}` : `status ${code}`;
}

// Local time with its zone, for a time the server gives in UTC.
export function localTime(t) {
  const d = new Date(t);
  if (isNaN(d)) return String(t);
  return d.toLocaleString([], {
    year: 'numeric',
    month: '2-digit',
    day: '2-digit',
    hour: '2-digit',
    minute: '2-digit',
    second: '2-digit',
    hour12: false,
    timeZoneName: 'short',
  });
}

// ---- requests ---------------------------------------------------------------

// Requests anyone may send; every other one needs the server's login. STOP is
// one of them: a stop can only make the arm safer.
const OPEN_REQUESTS = ['plan', 'estimate', 'stop'];

// What an answer to a request that needs the login says of the browser's credentials.
export function noteLogin(http, answer) {
  if (http === 401) {
    state.login = answer && answer.login === 'wrong' ? 'wrong' : 'out';
    state.user = null;
  } else if (http !== 0 && state.login !== 'in') {
    state.login = 'in';
  }
}

export async function readAnswer(response) {
  try {
    return await response.json();
  } catch {
    return null;
  }
}

// The server refuses a POST whose Origin it does not accept before it looks
// at the login, and names the origins it accepts: the page is the same
// path at the first of them.
function wrongAddressText(accepted) {
  const here = window.location.origin;
  if (!accepted.length)
    return `This server names no address it accepts requests from (the page was opened at ${here}): its administrator can run armctld --check.`;
  return `This server accepts requests only from ${accepted.join(' or ')} — open the page at ${accepted[0]}${window.location.pathname} (it was opened at ${here}).`;
}
export const errorText = (answer) =>
  Array.isArray(answer.accepted_origins) ? wrongAddressText(answer.accepted_origins) : answer.error;

export async function post(body) {
  const response = await fetch(API, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
    cache: 'no-store',
  });
  const answer = await readAnswer(response);
  const foreign = response.status === 403 && answer !== null && Array.isArray(answer.accepted_origins);
  state.wrongAddress = foreign ? wrongAddressText(answer.accepted_origins) : null;
  if (!foreign && !OPEN_REQUESTS.includes(Object.keys(body)[0])) noteLogin(response.status, answer);
  return { http: response.status, answer };
}

// A GET with a query: ?poses, ?sequences, ?history, ?export, ?whoami.
export async function getQuery(query, needsLogin) {
  const response = await fetch(`${API}?${query}`, { cache: 'no-store' });
  const answer = await readAnswer(response);
  if (needsLogin) noteLogin(response.status, answer);
  return { http: response.status, answer };
}

// ---- who may press what ---------------------------------------------------

// What a button's request needs: the login; no other request of this page
// under way (idle); no sequence playing (still); no run holding the lock,
// whose counters are those from before it (settled); no STOP latch.
// The moves (and re-reference, clear) also wait while another operator drives (undriven).
export const NEEDS_MOVE = { login: true, idle: true, still: true, unlatched: true, undriven: true };
export const NEEDS_REFERENCE = { login: true, idle: true, still: true, settled: true, undriven: true };
export const NEEDS_SAVE = { login: true, idle: true, settled: true };
export const NEEDS_CHANGE = { login: true, idle: true };
export const NEEDS_LOGIN = { login: true };

export const latchText = (f) => `stopped by ${f.by || 'someone'} at ${f.at ? localTime(f.at) : 'an unknown time'}`;

// Why a button that needs `needs` cannot be used now, or null.
export function blockedBy(needs) {
  const f = state.front;
  if (needs.idle && busy.pending) return 'busy: a request is under way';
  if (needs.still && state.sequence) return `busy: the sequence "${state.sequence.name}" is playing`;
  if (needs.settled && state.lock.held) return 'busy: a run holds the lock, and the counters are those from before it';
  if (needs.unlatched && f && f.stopped) return `latched: ${latchText(f)}; clear the stop first`;
  if (needs.undriven && hooks.drivenBy()) return hooks.drivenBy();
  if (needs.login && state.wrongAddress)
    return 'this address cannot send requests: see the message at the top of the page';
  if (needs.login && state.login === 'out') return 'not logged in: use "Log in" at the top of the page';
  if (needs.login && state.login === 'wrong')
    return 'the login was refused (a wrong name or password): use "Log in" again';
  return null;
}

// A button enabled, or disabled with its reason in its tooltip and, where
// the page has a place for it, beside it.
export function gate(button, why, title) {
  button.disabled = Boolean(why);
  button.title = why || title || '';
  button.dataset.why = why || '';
  const note = button.id && document.getElementById(`${button.id}-why`);
  if (note) note.textContent = why || '';
}

export function element(tag, props, ...children) {
  const el = Object.assign(document.createElement(tag), props || {});
  el.append(...children);
  return el;
}

export function row(cells, attrs) {
  const tr = document.createElement('tr');
  for (const [k, v] of Object.entries(attrs || {})) tr.setAttribute(k, v);
  for (const c of cells) tr.append(element('td', { textContent: c }));
  return tr;
}

// The bar that stays in reach: STOP (and Escape from anywhere), the one
// badge that says what the arm is doing, the latch and a stuck lock with
// what clears them, and who is logged in.
import {
  $,
  API,
  state,
  busy,
  hooks,
  post,
  getQuery,
  noteLogin,
  latchText,
  localTime,
  gate,
  blockedBy,
  NEEDS_LOGIN,
} from './core.js';
import { showAnswer } from './words.js';
import { openPreview } from './preview.js';
import { renderControl, wireControl } from './control.js';

// ---- the badge ------------------------------------------------------------

const seconds = (s) => `${Number(s).toFixed(1)} s`;

// The server's last run, the same on every page: its status and the server's meaning.
const faultText = (r) =>
  `the last run${r.at ? ` (ended ${localTime(r.at)})` : ''}: status ${r.status}${r.meaning ? `, ${r.meaning}` : ''}`;

// One state, in order of what the operator must know first.
const BADGES = [
  ['OFFLINE', () => state.unreachable, () => `the front end does not answer (${state.unreachable})`],
  [
    'STOPPED',
    () => state.front && state.front.stopped,
    () =>
      `latched, ${latchText(state.front)}${state.front.from ? ` from ${state.front.from}` : ''}; no move until it is cleared`,
  ],
  [
    'MOVING',
    () => state.run,
    () => {
      const r = state.run;
      return `option ${r.option} of ${r.options}${r.by ? ` (${r.by})` : ''} · ${seconds(r.elapsed_s)} of ≈ ${seconds(r.estimate_s)}`;
    },
  ],
  ['MOVING', () => state.lock.held && busy.pending, () => 'a request of this page is running'],
  [
    'LOCKED',
    () => state.front && state.front.deadRun,
    () => 'by a run that has ended: no run will free it; Unlock frees it',
  ],
  ['LOCKED', () => state.lock.held && state.run === null, () => 'by another program: moves wait for it'],
  ['LOCKED', () => state.lock.held, () => 'a run holds the lock'],
  ['FAULT', () => state.lastRun && state.lastRun.status !== 0, () => faultText(state.lastRun)],
  ['IDLE', () => true, () => 'no run is moving'],
];

export function badge() {
  const [kind, , text] = BADGES.find(([, when]) => when());
  return { kind, text: text() };
}

function renderBadge() {
  const { kind, text } = badge();
  const el = $('badge');
  el.dataset.state = kind;
  $('badge-state').textContent = kind;
  $('badge-text').textContent = text;
  document.body.dataset.badge = kind;
}

// ---- stop, clear, unlock ------------------------------------------------------

// STOP, clear and unlock: one request each; the latch and the lock are
// shown from the answer at once and from the next state after.
async function operatorAction(button, body, what) {
  try {
    const { http, answer } = await post(body);
    $(button).dataset.answer = String(http);
    if (http !== 200) showAnswer(http, answer, null, what);
    // Who latched is for operators: the state's GET tells a reader with no login nothing of it.
    const told = state.login === 'in';
    if (answer && answer.stopped !== undefined)
      state.front = {
        ...state.front,
        stopped: answer.stopped,
        by: told ? answer.stopped_by : undefined,
        from: told ? answer.stopped_from : undefined,
        at: answer.stopped_at,
      };
    if (body.unlock && http === 200 && state.front) state.front.deadRun = null;
  } catch {
    $(button).dataset.answer = 'failed';
  }
  hooks.render();
  hooks.pollSoon();
}

// The server ends a sequence playing with the stop, as it ends the run.
export function stop() {
  return operatorAction('stop', { stop: true }, 'STOP');
}

function previewClear() {
  const f = state.front || {};
  openPreview({
    kind: 'clear',
    what: 'clear the stop',
    anchor: $('latch'),
    needs: NEEDS_LOGIN,
    confirmLabel: 'Clear the stop',
    lines: [`The arm was ${latchText(f)}. Clearing moves nothing; moves are allowed again.`],
    confirm: () => operatorAction('clear', { clear: true }, 'clear the stop'),
  });
}

function renderLatch() {
  const f = state.front;
  const latched = Boolean(f && f.stopped);
  $('latch').hidden = !latched;
  $('latch').dataset.latched = latched ? '1' : '0';
  document.body.dataset.latched = latched ? '1' : '0';
  if (latched) {
    const who = f.by ? `by ${f.by} ` : '';
    $('latch-text').textContent =
      `STOPPED ${who}at ${f.at || 'an unknown time'}${f.at ? ` (${localTime(f.at)})` : ''}: no move until it is cleared.`;
  }
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

// ---- login ------------------------------------------------------------------

// Who the browser's cached login is, asked at load and after each change.
export async function whoami() {
  try {
    const { http, answer } = await getQuery('whoami', false);
    // No login sent yet is no refusal: the browser asks at the first request that needs one.
    if (http === 200 && answer && 'user' in answer) {
      state.login = answer.user ? 'in' : state.loggedOut ? 'out' : 'none';
      state.user = answer.user;
    } else if (http === 401) noteLogin(http, answer);
  } catch {
    // the next request that needs the login tells
  }
  hooks.render();
}

// The browser asks for the login when a request that needs it answers 401.
// A 401 after the browser's prompt is the server's verdict: a wrong login, or none.
async function logIn() {
  let http = 0;
  try {
    ({ http } = await getQuery('history', true));
  } catch {
    // told by whoami below
  }
  if (http === 401) hooks.render();
  else await whoami();
}

// The browser keeps a login until another replaces it: a request as the
// user "logout" with no password replaces it, and the server refuses it.
function logOut() {
  const xhr = new XMLHttpRequest();
  xhr.open('GET', `${API}?whoami`, true, 'logout', '');
  xhr.onloadend = () => {
    state.login = 'out';
    state.user = null;
    state.loggedOut = true;
    hooks.render();
  };
  xhr.send();
}

const LOGIN_WORDS = {
  unknown: () => 'Login: not asked yet',
  none: () => 'Not logged in: a move asks for the login',
  in: () => `Logged in${state.user ? ` as ${state.user}` : ''}`,
  out: () => (state.loggedOut ? 'Logged out' : 'Not logged in'),
  wrong: () => 'Wrong name or password',
  address: () => 'Requests refused at this address',
};

function renderLogin() {
  const shown = state.wrongAddress ? 'address' : state.login;
  $('login-state').textContent = LOGIN_WORDS[shown]();
  $('login-state').dataset.login = shown;
  $('login').hidden = state.login === 'in';
  $('logout').hidden = state.login !== 'in';
}

export function renderPanel() {
  renderBadge();
  renderLatch();
  renderStuck();
  renderLogin();
  gate($('clear'), blockedBy({ ...NEEDS_LOGIN, undriven: true }));
  gate($('unlock'), blockedBy(NEEDS_LOGIN));
  renderControl();
}

// The page's content starts below the bar, whatever its height.
function keepBarClear() {
  const bar = $('stop-bar');
  const fit = () =>
    document.documentElement.style.setProperty('--bar-height', `${Math.ceil(bar.getBoundingClientRect().height)}px`);
  new ResizeObserver(fit).observe(bar);
  fit();
}

export function wirePanel() {
  $('stop').addEventListener('click', stop);
  // Escape is STOP wherever the focus is.
  document.addEventListener('keydown', (event) => {
    if (event.key === 'Escape') {
      event.preventDefault();
      stop();
    }
  });
  $('clear').addEventListener('click', previewClear);
  $('unlock').addEventListener('click', () => operatorAction('unlock', { unlock: true }, 'unlock'));
  $('login').addEventListener('click', logIn);
  $('logout').addEventListener('click', logOut);
  wireControl();
  keepBarClear();
}

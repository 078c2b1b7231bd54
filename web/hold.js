// Hold-to-jog: pressing and holding a jog button, or a joint's key, moves
// that joint until it is let go. The server ends a jog whose holds stop
// (its dead-man), so the page holds often and lets go on every way out:
// pointer up or lost, key up, the page hidden or left.
import { model, busy, hooks, post, joint, blockedBy, NEEDS_MOVE } from './core.js';
import { showAnswer, showPending } from './words.js';

// A press shorter than this is a click: the row's count, as before, and no
// hold-to-jog; a longer one starts a jog and its click is dropped.
const PRESS_MS = 250;
// The server ends a jog 300 ms after its last hold.
const HOLD_EVERY_MS = 80;

// The keys of each counter, [grow, shrink]: the arrows for the shoulder
// (found by its segment in the joint tables) and counter 0 (the base),
// pairs of letters for the rest in order.
const LETTER_KEYS = [
  ['q', 'a'],
  ['w', 's'],
  ['e', 'd'],
  ['r', 'f'],
];
function keysOfCounters() {
  const shoulder = model.A.COUNTERS.findIndex((c) => c.angle === 'shoulder');
  const keys = { 0: ['ArrowRight', 'ArrowLeft'], [shoulder]: ['ArrowUp', 'ArrowDown'] };
  const rest = model.A.COUNTERS.map((c, i) => i).filter((i) => !(i in keys));
  rest.forEach((i, n) => (keys[i] = LETTER_KEYS[n]));
  return keys;
}
const signsOfKeys = (keys) =>
  new Map(
    Object.entries(keys).flatMap(([counter, [grow, shrink]]) => [
      [grow, { counter: Number(counter), sign: 1 }],
      [shrink, { counter: Number(counter), sign: -1 }],
    ]),
  );
const keyLabel = (k) => ({ ArrowUp: '↑', ArrowDown: '↓', ArrowLeft: '←', ArrowRight: '→' })[k] || k;

// The one jog held at a time: what holds it, its number once the server
// answered, and whether it was let go before that.
let held = null;

const words = (counter, sign) => `hold ${sign > 0 ? joint(counter).plus : joint(counter).minus}`;

async function startHold(counter, sign, by) {
  if (held || busy.pending || blockedBy(NEEDS_MOVE)) return;
  const h = (held = { counter, sign, by, id: null, letGo: false, timer: null });
  busy.pending = true;
  showPending(words(counter, sign));
  hooks.render();
  let answer = null;
  try {
    const r = await post({ jog: { counter, direction: sign > 0 ? '+' : '-' } });
    if (r.http === 200) answer = r.answer;
    else showAnswer(r.http, r.answer, null, words(counter, sign));
  } catch {
    showAnswer(0, null, null, words(counter, sign));
  }
  if (!answer) return settle(h);
  h.id = answer.jog;
  hooks.pollSoon();
  if (h.letGo) return letGo(h);
  h.timer = setInterval(() => keepHolding(h), HOLD_EVERY_MS);
}

async function keepHolding(h) {
  try {
    const { http } = await post({ hold: h.id });
    if (http === 404) letGo(h); // ended by itself: its count, the dead-man or STOP
  } catch {
    // the next hold tries again; the server ends it if none arrives
  }
}

function settle(h) {
  if (held === h) held = null;
  busy.pending = false;
  hooks.render();
  hooks.pollSoon();
}

async function letGo(h) {
  h.letGo = true;
  clearInterval(h.timer);
  if (h.id === null || h.released) return; // released once the server names it
  h.released = true;
  try {
    const { http, answer } = await post({ release: h.id });
    const what = `${words(h.counter, h.sign)}: ${answer && answer.ended ? `${answer.ended}, ${answer.steps} steps` : 'let go'}`;
    showAnswer(http, answer, null, what);
  } catch {
    showAnswer(0, null, null, words(h.counter, h.sign));
  }
  settle(h);
}

const letGoOf = (by) => held && held.by === by && letGo(held);

// The button that holds the jog under way stays enabled while the others
// wait, so that its pointer events still come.
export const holdsJog = (b) => held !== null && held.by === b;

// A button: a long press holds; the click that ends it is not a count's jog.
function wireButton(b, keys) {
  const counter = Number(b.dataset.counter);
  const sign = Number(b.dataset.sign);
  let timer = null;
  let longPress = false;
  const end = () => {
    clearTimeout(timer);
    letGoOf(b);
  };
  b.addEventListener('pointerdown', (event) => {
    if (event.button !== 0 || b.disabled) return;
    b.setPointerCapture(event.pointerId);
    longPress = false;
    timer = setTimeout(() => {
      longPress = true;
      startHold(counter, sign, b);
    }, PRESS_MS);
  });
  for (const type of ['pointerup', 'pointercancel', 'lostpointercapture']) b.addEventListener(type, end);
  window.addEventListener('pointerup', end);
  b.addEventListener(
    'click',
    (event) => {
      if (!longPress) return;
      longPress = false;
      event.stopImmediatePropagation();
    },
    { capture: true },
  );
  const k = keys[counter][sign > 0 ? 0 : 1];
  // Shown, and told to screen readers as the button's shortcut, not its name.
  const kbd = Object.assign(document.createElement('kbd'), { className: 'key', textContent: keyLabel(k) });
  kbd.setAttribute('aria-hidden', 'true');
  b.append(kbd);
  b.setAttribute('aria-keyshortcuts', k);
}

const typing = (t) =>
  Boolean(t && t.tagName) && (t.isContentEditable || ['INPUT', 'TEXTAREA', 'SELECT'].includes(t.tagName));

export function wireHold() {
  const keys = keysOfCounters();
  const signs = signsOfKeys(keys);
  for (const b of document.querySelectorAll('#jog button')) wireButton(b, keys);
  document.addEventListener('keydown', (event) => {
    const j = signs.get(event.key);
    if (!j || typing(event.target) || event.ctrlKey || event.metaKey || event.altKey) return;
    event.preventDefault();
    if (!event.repeat) startHold(j.counter, j.sign, event.key);
  });
  document.addEventListener('keyup', (event) => letGoOf(event.key));
  const leave = () => held && letGo(held);
  document.addEventListener('visibilitychange', () => document.hidden && leave());
  window.addEventListener('blur', leave);
  window.addEventListener('pagehide', leave);
}

// The jog rows, one per joint with its two directions named ("elbow up"):
// each request goes to the arm's server, whose judge, asked per button
// beforehand, marks a move it expects to refuse; only its answer decides.
import {
  $,
  model,
  state,
  busy,
  hooks,
  post,
  joint,
  direction,
  gate,
  blockedBy,
  element,
  sameCounters,
  localTime,
  NEEDS_MOVE,
} from './core.js';
import { showAnswer, showPending, requestWords, breachText } from './words.js';

// Typing a count, or a run's counters arriving, asks again after this pause.
const ESTIMATE_DELAY_MS = 300;

function countOf(i) {
  const n = Number($(`jog-count-${i}`).value);
  return Number.isInteger(n) && n >= 0 && n <= model.A.REQUESTS.max_count ? n : null;
}

const lettersOf = (i) => [model.joints[i].letters.plus, model.joints[i].letters.minus];

// The server's estimate of a letter at its row's count, whatever the counters.
function estimateOf(letter, i) {
  const e = state.estimates[letter];
  return e && e.count === countOf(i) ? e : null;
}

function estimateText(e) {
  if (!e || !Number.isFinite(e.seconds)) return '';
  const t = `≈ ${e.seconds < 10 ? e.seconds.toFixed(1) : Math.round(e.seconds)} s`;
  return e.over ? `${t}: over the ${e.bound} s bound` : t;
}

// The server's verdict on a button's move from the counters shown, or null
// while it is still to come.
function verdictOf(letter, i) {
  const e = estimateOf(letter, i);
  return e && sameCounters(e.start, state.counters) ? e : null;
}

// Why the server would refuse the button's move; none while its verdict is to come.
function expectedRefusal(letter, i) {
  const n = countOf(i);
  if (n === null) return `the step count must be a whole number from 0 to ${model.A.REQUESTS.max_count}`;
  const e = verdictOf(letter, i);
  if (!e) return null;
  if (e.refused) return e.reason ? breachText(e.reason) : "the server's guards refuse it";
  return e.over ? `the motion would take ${estimateText(e)}` : null;
}

// A row's time: both letters turn the same motors the same count; a
// refused one moves nothing.
function rowEstimate(i) {
  const known = lettersOf(i)
    .map((letter) => estimateOf(letter, i))
    .filter(Boolean);
  if (!known.length) return null;
  return known.reduce((a, b) => (b.seconds > a.seconds ? b : a));
}

export function markJog() {
  for (const b of document.querySelectorAll('#jog button')) {
    const i = Number(b.dataset.counter);
    const why = expectedRefusal(b.dataset.letter, i);
    b.dataset.refused = why ? '1' : '0';
    b.dataset.judged = verdictOf(b.dataset.letter, i) ? '1' : '0';
    const word = Number(b.dataset.sign) > 0 ? joint(i).plus : joint(i).minus;
    gate(b, blockedBy(NEEDS_MOVE), why ? `expected to be refused: ${why}` : `${word} (-${b.dataset.letter})`);
    // Read aloud as "elbow up"; the row already shows the joint's name.
    b.querySelector('.joint-name').textContent =
      `${word.slice(0, word.length - direction(i, Number(b.dataset.sign)).length)}`;
    b.querySelector('.word').textContent = direction(i, Number(b.dataset.sign));
  }
  model.A.COUNTERS.forEach((c, i) => {
    const cell = $(`jog-estimate-${i}`);
    const e = rowEstimate(i);
    cell.textContent = estimateText(e);
    cell.dataset.over = e && e.over ? '1' : '0';
    const j = joint(i);
    $(`jog-name-${i}`).replaceChildren(
      j.name,
      element('span', { className: 'letters', textContent: ` ${j.letters.plus} / ${j.letters.minus}` }),
      driftOf(i),
    );
    $(`jog-count-${i}`).setAttribute('aria-label', `steps for ${joint(i).name}`);
  });
}

// The last re-reference's drift of a joint, under its name: how far its
// counter was from the operator's; one that keeps growing loses steps.
function driftOf(i) {
  const drift = state.front && state.front.drift;
  const d = drift ? drift.counters[i] : null;
  const span = element('span', {
    id: `jog-drift-${i}`,
    className: 'drift',
    textContent: d === null ? '' : `drift ${d > 0 ? `+${d}` : d}`,
    title: drift ? `counted minus given at the re-reference of ${localTime(drift.at)}` : '',
  });
  span.dataset.drift = d ? '1' : '0';
  return span;
}

// One estimate per letter: an estimate judges its options in order, each
// from the end of the one before, so a row's two directions are two asks.
// Only the newest ask of a letter is kept.
const asks = {};
function estimateFromAnswer(answer, n) {
  const verdict = (Array.isArray(answer.verdicts) && answer.verdicts[0]) || {};
  return {
    count: n,
    start: answer.start,
    seconds: answer.estimate_s,
    over: answer.over_the_bound,
    bound: answer.bound_s,
    refused: verdict.refused === true,
    reason: verdict.reason,
  };
}

function askEstimate(letter, i) {
  const ask = (asks[letter] = asks[letter] || { timer: null, serial: 0 });
  clearTimeout(ask.timer);
  ask.timer = setTimeout(async () => {
    const n = countOf(i);
    if (n === null) return;
    const serial = ++ask.serial;
    let estimate;
    try {
      const { http, answer } = await post({ estimate: [`-${letter}`, String(n)] });
      if (http === 200 && answer) estimate = estimateFromAnswer(answer, n);
    } catch {
      // no estimate shown
    }
    if (serial !== ask.serial) return;
    if (estimate) state.estimates[letter] = estimate;
    else delete state.estimates[letter];
    markJog();
  }, ESTIMATE_DELAY_MS);
}

const askRow = (i) => lettersOf(i).forEach((letter) => askEstimate(letter, i));

// Every button's verdict again when the counters shown change (a new
// state, or an answer's saved counters).
let judgedFor = null;
export function judgeNewCounters() {
  if (!state.counters || sameCounters(judgedFor, state.counters)) return;
  judgedFor = state.counters;
  model.A.COUNTERS.forEach((c, i) => askRow(i));
}

async function jog(letter, i) {
  const n = countOf(i);
  if (n === null || busy.pending) return;
  const expected = expectedRefusal(letter, i);
  const body = { options: [`-${letter}`, String(n)] };
  const what = requestWords(body);
  busy.pending = true;
  const e = estimateOf(letter, i);
  showPending(`${what}${e ? ` (motion ${estimateText(e)})` : ''}`);
  hooks.render();
  hooks.pollSoon();
  try {
    const { http, answer } = await post(body);
    showAnswer(http, answer, expected, what);
  } catch {
    showAnswer(0, null, expected, what);
  } finally {
    busy.pending = false;
    hooks.render();
    hooks.pollSoon();
  }
}

function jogButton(i, letter, sign) {
  const b = element(
    'button',
    { type: 'button', id: `jog-${letter}`, className: sign > 0 ? 'plus' : 'minus' },
    element('span', { className: 'joint-name sr-only' }),
    element('span', { className: 'word' }),
  );
  Object.assign(b.dataset, { letter, counter: String(i), sign: String(sign) });
  b.addEventListener('click', () => jog(letter, i));
  return b;
}

export function buildJog() {
  $('jog').tBodies[0].replaceChildren(
    ...model.A.COUNTERS.map((c, i) => {
      const input = element('input', {
        id: `jog-count-${i}`,
        type: 'number',
        min: '0',
        max: String(model.A.REQUESTS.max_count),
        value: '100',
        inputMode: 'numeric',
      });
      input.addEventListener('input', () => {
        markJog();
        askRow(i);
      });
      const name = element('th', { id: `jog-name-${i}`, scope: 'row' });
      const j = joint(i);
      const td = (...children) => element('td', {}, ...children);
      const estimate = element('td', { id: `jog-estimate-${i}`, className: 'estimate' });
      const tr = element(
        'tr',
        {},
        name,
        td(input),
        td(jogButton(i, j.letters.plus, 1)),
        td(jogButton(i, j.letters.minus, -1)),
        estimate,
      );
      tr.dataset.counter = String(i);
      return tr;
    }),
  );
}

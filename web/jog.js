// The jog rows, one per joint with its two directions named ("elbow up"):
// each request goes to the CGI; the page's own guards mark a move they see
// refused before it is sent, but only the server's answer decides.
import { $, model, state, busy, hooks, post, joint, direction, gate, blockedBy, element, NEEDS_MOVE } from './core.js';
import { showAnswer, showPending, requestWords } from './words.js';

function countOf(i) {
  const n = Number($(`jog-count-${i}`).value);
  return Number.isInteger(n) && n >= 0 && n <= model.A.REQUESTS.max_count ? n : null;
}

function expectedRefusal(letter, i) {
  const n = countOf(i);
  if (n === null) return `the step count must be a whole number from 0 to ${model.A.REQUESTS.max_count}`;
  return state.counters ? model.A.wouldRefuse(state.counters, letter, n) : null;
}

function estimateText(e) {
  if (!e) return '';
  const t = `≈ ${e.seconds < 10 ? e.seconds.toFixed(1) : Math.round(e.seconds)} s`;
  return e.over ? `${t}: over the ${e.bound} s bound` : t;
}

export function markJog() {
  for (const b of document.querySelectorAll('#jog button')) {
    const i = Number(b.dataset.counter);
    const e = state.estimates[i];
    const why =
      expectedRefusal(b.dataset.letter, i) || (e && e.over ? `the motion would take ${estimateText(e)}` : null);
    b.dataset.refused = why ? '1' : '0';
    const word = Number(b.dataset.sign) > 0 ? joint(i).plus : joint(i).minus;
    gate(b, blockedBy(NEEDS_MOVE), why ? `expected to be refused: ${why}` : `${word} (-${b.dataset.letter})`);
    // Read aloud as "elbow up"; the row already shows the joint's name.
    b.querySelector('.joint-name').textContent =
      `${word.slice(0, word.length - direction(i, Number(b.dataset.sign)).length)}`;
    b.querySelector('.word').textContent = direction(i, Number(b.dataset.sign));
  }
  model.A.COUNTERS.forEach((c, i) => {
    const cell = $(`jog-estimate-${i}`);
    const e = state.estimates[i];
    cell.textContent = estimateText(e);
    cell.dataset.over = e && e.over ? '1' : '0';
    const j = joint(i);
    $(`jog-name-${i}`).replaceChildren(
      j.name,
      element('span', { className: 'letters', textContent: ` ${j.letters.plus} / ${j.letters.minus}` }),
    );
    $(`jog-count-${i}`).setAttribute('aria-label', `steps for ${joint(i).name}`);
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
      const { http, answer } = await post({ estimate: [`-${model.A.COUNTERS[i].grow}`, String(n)] });
      if (http === 200 && answer && countOf(i) === n)
        state.estimates[i] = {
          count: n,
          seconds: answer.estimate_s,
          over: answer.over_the_bound,
          bound: answer.bound_s,
        };
    } catch {
      delete state.estimates[i];
    }
    markJog();
  }, 300);
}

async function jog(letter, i) {
  const n = countOf(i);
  if (n === null || busy.pending) return;
  const expected = expectedRefusal(letter, i);
  const body = { options: [`-${letter}`, String(n)] };
  const what = requestWords(body);
  busy.pending = true;
  const e = state.estimates[i];
  showPending(`${what}${e && e.count === n ? ` (motion ${estimateText(e)})` : ''}`);
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
        delete state.estimates[i];
        markJog();
        askEstimate(i);
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

// Who drives the arm: one logged-in operator moves it at a time. The Drive
// box takes and releases the drive, asks the driver to hand over, and shows
// the driver an ask to give or refuse; other pages' moves wait for it.
import { $, state, hooks, post, gate, blockedBy, NEEDS_LOGIN } from './core.js';
import { showAnswer } from './words.js';

// The state's "control": { driver, asked_by, asked_at } for an operator,
// { driven: true } for a reader without a login, null when nobody drives.
export function takeControl(answer) {
  const c = answer && answer.control;
  state.control = c && typeof c === 'object' ? c : null;
}

const mine = () => Boolean(state.control && state.user && state.control.driver === state.user);

async function send(body, what) {
  const { http, answer } = await post(body).catch(() => ({ http: 0, answer: null }));
  if (http !== 200 && http !== 202) showAnswer(http, answer, null, what);
  else if (answer) takeControl(answer);
  hooks.render();
}

// What the box says and which of its buttons show, by who drives.
function words() {
  const c = state.control;
  if (!c) return 'Nobody drives: take the drive to move the arm';
  if (!c.driver) return 'Another operator drives';
  if (mine()) return c.asked_by ? `You drive; ${c.asked_by} asks to take over` : 'You drive';
  if (c.asked_by === state.user) return `${c.driver} drives; you asked to take over`;
  return `${c.driver} drives`;
}

export function renderControl() {
  const c = state.control;
  const asked = mine() && Boolean(c.asked_by);
  $('drive-state').textContent = words();
  $('drive-take').hidden = Boolean(c);
  $('drive-release').hidden = !mine();
  $('drive-ask').hidden = !c || !c.driver || mine() || c.asked_by === state.user;
  $('drive-asked').hidden = !asked;
  if (asked) $('drive-asked-text').textContent = `${c.asked_by} asks to drive:`;
  for (const id of ['drive-take', 'drive-release', 'drive-ask', 'drive-give', 'drive-refuse'])
    gate($(id), blockedBy(NEEDS_LOGIN));
}

// Why a move of this page waits for the drive, or null.
export function drivenBy() {
  const c = state.control;
  if (!c || mine()) return null;
  return c.driver ? `${c.driver} drives` : 'another operator drives';
}

export function wireControl() {
  $('drive-take').addEventListener('click', () => send({ control: 'take' }, 'take the drive'));
  $('drive-release').addEventListener('click', () => send({ control: 'release' }, 'release the drive'));
  $('drive-ask').addEventListener('click', () =>
    send({ control: 'take', from: state.control.driver }, 'take over the drive'),
  );
  $('drive-give').addEventListener('click', () =>
    send({ control: 'give', to: state.control.asked_by }, 'hand over the drive'),
  );
  $('drive-refuse').addEventListener('click', () => send({ control: 'refuse' }, 'refuse to hand over'));
}

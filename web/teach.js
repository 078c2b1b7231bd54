// Teaching: poses, tip targets, back, sequences, re-reference and the
// history. Every move here is one request to the arm's server, which plans and judges
// it with the controller's model; each is previewed and then confirmed.
import {
  $,
  model,
  state,
  busy,
  hooks,
  post,
  getQuery,
  gate,
  blockedBy,
  element,
  row,
  localTime,
  NEEDS_MOVE,
  NEEDS_REFERENCE,
  NEEDS_SAVE,
  NEEDS_CHANGE,
} from './core.js';
import { showAnswer, showPending, planLines, requestWords, outcomeWords } from './words.js';
import { openPreview, closePreview, previewGhost, markPreview, keepPlaced } from './preview.js';
import { armPointAt } from './draw.js';

// The server's rules for what is stored, checked here before sending; the
// limits are the server's own, from the model.
const NAME_CHARACTERS = /^[A-Za-z0-9 _-]*$/;
const LIST_REFRESH_MS = 15000;

export const teach = { poses: [], sequences: [], history: null, draft: [] };
let referenceOpen = false;

const nameRule = () => `1 to ${model.A.REQUESTS.max_name_length} letters, digits, spaces, - or _`;
function nameProblem(name, what) {
  if (name === '') return `give the ${what} a name`;
  if (!NAME_CHARACTERS.test(name) || name.length > model.A.REQUESTS.max_name_length) return `a name is ${nameRule()}`;
  if (what === 'pose' && teach.poses.some((p) => p.builtin && p.name === name))
    return `${name} is built in and cannot be replaced`;
  return null;
}
const wholeIn = (text, lo, hi) => /^-?\d+$/.test(text.trim()) && Number(text) >= lo && Number(text) <= hi;

// One request at a time from the buttons; the answer shows below the jog rows.
export async function send(body, what) {
  if (busy.pending) return { http: 0, answer: null };
  busy.pending = true;
  showPending(what);
  hooks.render();
  hooks.pollSoon();
  let result = { http: 0, answer: null };
  try {
    result = await post(body);
  } catch {
    // no answer: shown as HTTP 0 below
  }
  busy.pending = false;
  showAnswer(result.http, result.answer, null, what);
  if (teach.history !== null) loadHistory();
  hooks.render();
  hooks.pollSoon();
  return result;
}

// ---- previews of moves ----------------------------------------------------------

// The end pose of a plan, from its end report.
function planPose(plan) {
  const report = plan && plan.end_report;
  if (!report) return null;
  return Object.fromEntries(model.A.RECORDS.map((name, i) => [name, { x: report[i][0], y: report[i][1] }]));
}

// A move's preview: the server's plan (it moves nothing), then the same target as a goto.
function previewMove(target, what, anchor, { tip = null, problem = null, body = { goto: target } } = {}) {
  closeReference();
  openPreview({
    kind: 'move',
    what,
    anchor,
    tip,
    problem,
    needs: NEEDS_MOVE,
    confirmLabel: 'Go',
    confirmTitle: 'moves the arm as planned',
    load: async () => {
      const { http, answer } = await post({ plan: target });
      if (http !== 200 || !answer)
        return { problem: `no plan: HTTP ${http}${answer && answer.error ? `: ${answer.error}` : ''}` };
      return { lines: planLines(answer), allowed: answer.allowed, ghost: planPose(answer) };
    },
    confirm: () => send(body, what),
  });
}

// "back": its target is the newest move's start, which the history holds.
async function backTarget() {
  const { http, answer } = await getQuery('history', true);
  if (http === 401) return { problem: 'the history, which says where the last move started, needs a login' };
  if (http !== 200 || !answer || !Array.isArray(answer.history))
    return { problem: `the history could not be read (HTTP ${http})` };
  const moved = answer.history.find(
    (h) =>
      ['options', 'goto', 'back'].some((k) => h.request && k in h.request) &&
      h.status === 200 &&
      Array.isArray(h.before) &&
      Array.isArray(h.after) &&
      h.before.join() !== h.after.join(),
  );
  return moved ? { before: moved.before } : { problem: 'no move of the front end to go back from' };
}

async function previewBack() {
  const what = 'back to before the last move';
  let found;
  try {
    found = await backTarget();
  } catch {
    found = { problem: 'the history could not be read (no answer)' };
  }
  if (found.problem) {
    openPreview({
      kind: 'move',
      what,
      anchor: $('back'),
      needs: NEEDS_MOVE,
      problem: found.problem,
      confirm: () => {},
    });
    return;
  }
  previewMove({ counters: found.before }, what, $('back'), { body: { back: true } });
}

// ---- tip targets --------------------------------------------------------------

function tipTarget(x, y, what, anchor) {
  const problem = state.pose ? model.A.tipTargetProblem(state.pose, x, y) : null;
  previewMove({ tip: [x, y] }, `tip to (${x.toFixed(2)}, ${y.toFixed(2)})${what}`, anchor, { tip: [x, y], problem });
}

function tipStep() {
  const step = Number($('tip-step').value);
  return step > 0 && step <= 40 ? step : null;
}

function tipJog(button) {
  const step = tipStep();
  if (!state.pose || step === null) return;
  const { x, y } = state.pose.total;
  tipTarget(
    x + Number(button.dataset.dx) * step,
    y + Number(button.dataset.dy) * step,
    `, ${button.dataset.way} by ${step}`,
    $('tip-jog'),
  );
}

function clickTarget(event) {
  const p = state.pose && armPointAt(event);
  if (p) tipTarget(p.x, p.y, '', $('view-foot'));
}

// ---- re-reference -------------------------------------------------------------

const referenceInputs = () => [...document.querySelectorAll('#reference-counters input')];

function referenceProblem() {
  for (const [i, input] of referenceInputs().entries()) {
    const range = model.A.COUNTERS[i].range || model.A.INT32;
    if (!wholeIn(input.value, range[0], range[1]))
      return `counter ${i} must be a whole number from ${range[0]} to ${range[1]}`;
  }
  return null;
}

const referenceCounters = () => (referenceProblem() ? null : referenceInputs().map((i) => Number(i.value)));

function openReference() {
  if (!state.counters) return;
  closePreview();
  referenceOpen = true;
  referenceInputs().forEach((input, i) => {
    input.value = String(state.counters[i]);
  });
  $('reference-form').hidden = false;
  hooks.render();
}

function closeReference() {
  referenceOpen = false;
  $('reference-form').hidden = true;
}

function previewReference() {
  const counters = referenceCounters();
  if (!counters) return;
  const what = requestWords({ reference: counters });
  const from = state.counters ? state.counters.join(', ') : 'unknown';
  openPreview({
    kind: 'reference',
    what,
    anchor: $('reference-form'),
    needs: NEEDS_REFERENCE,
    confirmLabel: 'Set the counters',
    ghost: model.A.poseOf(counters),
    lines: [
      `Counters ${from} → ${counters.join(', ')}.`,
      'Nothing moves: the controller is told where the arm really is.',
    ],
    confirm: async () => {
      if ((await send({ reference: counters }, what)).http === 200) closeReference();
    },
  });
}

// The pose to show over the picture: the preview's, or the counters typed
// into the re-reference fields.
export function ghost() {
  const p = previewGhost();
  if (p) return p;
  if (referenceOpen) {
    const c = referenceCounters();
    return { pose: c && model.A.poseOf(c), tip: null, refused: false };
  }
  return { pose: null, tip: null, refused: false };
}

// ---- sequences ----------------------------------------------------------------

function stepProblem() {
  if (!$('step-pose').value) return 'no pose to add';
  const { max_pause_ms: pauseMs, max_sequence_steps: steps } = model.A.REQUESTS;
  if (!wholeIn($('step-pause').value, 0, pauseMs)) return `the pause is 0 to ${pauseMs} ms`;
  if (teach.draft.length >= steps) return `at most ${steps} steps`;
  return null;
}

function sequenceProblem() {
  return (
    nameProblem($('sequence-name').value, 'sequence') ||
    (teach.draft.length ? null : 'add at least one step') ||
    (wholeIn($('sequence-repeat').value, 1, model.A.REQUESTS.max_repeat)
      ? null
      : `repeat 1 to ${model.A.REQUESTS.max_repeat} times`)
  );
}

function fillDraft() {
  $('sequence-steps').replaceChildren(
    ...teach.draft.map((st, i) => {
      const drop = element('button', { type: 'button', textContent: '×', title: 'remove this step' });
      drop.setAttribute('aria-label', `remove step ${i + 1}`);
      drop.addEventListener('click', () => {
        teach.draft.splice(i, 1);
        fillDraft();
      });
      return element('li', {}, `${st.pose}, then ${st.pause_ms} ms `, drop);
    }),
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
  const body = {
    save_sequence: { name: $('sequence-name').value, steps: teach.draft, repeat: Number($('sequence-repeat').value) },
  };
  const { http } = await send(body, requestWords(body));
  if (http !== 200) return;
  teach.draft = [];
  $('sequence-name').value = '';
  fillDraft();
  loadSequences();
}

// The sequence the arm's PC plays, as the server's state tells every page:
// each page shows it and can pause it, and it goes on when the page that
// started it closes.
const PHASE_WORDS = {
  playing: (q) => `going to step ${q.step}`,
  waiting: (q) => `at step ${q.step}, pausing`,
  paused: (q) => `paused after step ${q.step}`,
};
export function renderPlayer() {
  const q = state.sequence;
  const ended = state.sequenceEnd;
  const box = $('player');
  if (q) {
    Object.assign(box.dataset, { state: q.state, step: String(q.step - 1) });
    box.textContent = `"${q.name}" round ${q.repeat} of ${q.repeats}, step ${q.step} of ${q.steps}: ${PHASE_WORDS[q.state](q)}${q.by ? ` (${q.by})` : ''}`;
  } else {
    Object.assign(box.dataset, { state: ended ? 'ended' : 'idle', step: '' });
    box.textContent = ended ? `"${ended.name}" ${ended.outcome} (step ${ended.step}, round ${ended.repeat}).` : '';
  }
  const toggle = $('player-end');
  toggle.hidden = !q;
  toggle.textContent = q && q.state === 'paused' ? 'Resume' : 'Pause after this move';
}

async function play(seq) {
  if (blockedBy(NEEDS_MOVE)) return;
  await send({ play: seq.name }, `play the sequence ${seq.name}`);
  hooks.pollSoon();
}

function previewPlay(seq, anchor) {
  const steps = seq.steps.map((st, i) => `${i + 1}. go to ${st.pose}, then pause ${st.pause_ms} ms`);
  openPreview({
    kind: 'play',
    what: `play the sequence ${seq.name}`,
    anchor,
    needs: NEEDS_MOVE,
    confirmLabel: 'Play',
    lines: [
      `${seq.steps.length} steps, ${seq.repeat} time${seq.repeat === 1 ? '' : 's'}; the arm's PC plays it, each step planned and judged as it comes, and goes on if this page closes.`,
      ...steps,
    ],
    confirm: () => play(seq),
  });
}

function previewDelete(kind, name, anchor, reload) {
  const users =
    kind === 'pose' ? teach.sequences.filter((s) => s.steps.some((st) => st.pose === name)).map((s) => s.name) : [];
  const body = kind === 'pose' ? { delete_pose: name } : { delete_sequence: name };
  openPreview({
    kind: 'delete',
    what: `delete the ${kind} ${name}`,
    anchor,
    needs: NEEDS_CHANGE,
    confirmLabel: 'Delete',
    lines: [
      `The ${kind} "${name}" is removed from the arm's PC; nothing moves.`,
      ...(users.length ? [`Sequences that go to it will stop at that step: ${users.join(', ')}.`] : []),
    ],
    confirm: () => send(body, requestWords(body)).then(reload),
  });
}

// ---- the lists ------------------------------------------------------------

async function loadList(key, fill) {
  let note = '';
  try {
    const { http, answer } = await getQuery(key, false);
    if (http === 200 && answer && Array.isArray(answer[key])) {
      teach[key] = answer[key];
      if (answer.damaged) note = `The stored file is damaged (${answer.error}); nothing of it is offered.`;
    } else note = `Could not be read (HTTP ${http}).`;
  } catch {
    note = 'Could not be read (no answer).';
  }
  $(`${key}-note`).textContent = note;
  fill();
  keepPlaced();
  markTeach();
}
export const loadPoses = () => loadList('poses', fillPoses);
export const loadSequences = () => loadList('sequences', fillSequences);

export async function loadHistory() {
  try {
    const { http, answer } = await getQuery('history', true);
    if (http === 200 && answer && Array.isArray(answer.history)) {
      teach.history = answer.history;
      fillHistory();
    }
  } catch {
    // the next request tries again
  }
  hooks.render();
}

function actionButton(text, act, name, label, onClick) {
  const b = element('button', { type: 'button', textContent: text });
  Object.assign(b.dataset, { act, name });
  b.setAttribute('aria-label', label);
  b.addEventListener('click', () => onClick(b));
  return b;
}

function fillPoses() {
  $('poses').tBodies[0].replaceChildren(
    ...teach.poses.map((p) => {
      const tr = row([p.name, p.counters.join(' ')], { 'data-pose': p.name });
      const del = actionButton('delete', 'delete', p.name, `delete the pose ${p.name}`, (b) =>
        previewDelete('pose', p.name, b, loadPoses),
      );
      del.dataset.builtin = p.builtin ? '1' : '0';
      tr.append(
        element(
          'td',
          {},
          actionButton('go', 'go', p.name, `go to ${p.name}`, (b) =>
            previewMove({ pose: p.name }, `go to ${p.name}`, b),
          ),
          del,
        ),
      );
      return tr;
    }),
  );
  $('step-pose').replaceChildren(...teach.poses.map((p) => element('option', { value: p.name, textContent: p.name })));
}

function fillSequences() {
  $('sequences').tBodies[0].replaceChildren(
    ...teach.sequences.map((s) => {
      const steps = s.steps.map((st) => `${st.pose} · ${st.pause_ms} ms`).join(' → ');
      const tr = row([s.name, steps, String(s.repeat)], { 'data-sequence': s.name });
      tr.append(
        element(
          'td',
          {},
          actionButton('play', 'play', s.name, `play ${s.name}`, (b) => previewPlay(s, b)),
          actionButton('delete', 'delete', s.name, `delete the sequence ${s.name}`, (b) =>
            previewDelete('sequence', s.name, b, loadSequences),
          ),
        ),
      );
      return tr;
    }),
  );
}

// A timeline: each entry that moved the arm offers to go back to where it
// started, with the plan's ghost of that pose; one whose start is unknown says so.
const MOVES = ['options', 'goto', 'back'];
const movedTheArm = (h) =>
  h.request &&
  MOVES.some((k) => k in h.request) &&
  h.status === 200 &&
  (h.before || []).join() !== (h.after || []).join();

function goBackCell(h) {
  if (!h.id || !movedTheArm(h)) return element('td', {});
  if (!Array.isArray(h.before))
    return element('td', {
      className: 'hint',
      textContent: `start unknown${h.before_unknown ? `: ${h.before_unknown}` : ''}`,
    });
  const what = `back to before the move of ${localTime(h.time)}`;
  return element(
    'td',
    {},
    actionButton('go back here', 'go', String(h.id), what, (b) =>
      previewMove({ history: h.id }, what, b, { body: { goto: { history: h.id } } }),
    ),
  );
}

function fillHistory() {
  const counters = (c) => (Array.isArray(c) ? c.join(' ') : '—');
  $('history').tBodies[0].replaceChildren(
    ...teach.history.map((h) => {
      const tr = row(
        [
          localTime(h.time),
          h.user,
          requestWords(h.request),
          outcomeWords(h),
          `${counters(h.before)} → ${counters(h.after)}`,
        ],
        { 'data-status': String(h.status) },
      );
      tr.append(goBackCell(h));
      return tr;
    }),
  );
}

// ---- buttons ------------------------------------------------------------------

export function markTeach() {
  if (!model.A) return;
  const noPose = state.counters ? null : 'no pose read yet';
  const rows = {
    go: () => blockedBy(NEEDS_MOVE),
    delete: (b) =>
      b.dataset.builtin === '1' ? `${b.dataset.name} is built in and cannot be deleted` : blockedBy(NEEDS_CHANGE),
    play: (b) => (state.sequence && state.sequence.name === b.dataset.name ? 'it is playing' : blockedBy(NEEDS_MOVE)),
  };
  for (const b of document.querySelectorAll('#poses button, #sequences button, #history button')) {
    if (rows[b.dataset.act]) gate(b, rows[b.dataset.act](b), b.getAttribute('aria-label'));
  }
  gate(
    $('pose-save'),
    nameProblem($('pose-name').value, 'pose') || noPose || blockedBy(NEEDS_SAVE),
    'saves the counters as they are now',
  );
  gate($('back'), blockedBy(NEEDS_MOVE), 'previews going to the counters before the last move the front end made');
  gate($('step-add'), stepProblem());
  gate($('sequence-save'), sequenceProblem() || blockedBy(NEEDS_CHANGE));
  gate($('reference-open'), noPose || blockedBy(NEEDS_REFERENCE));
  gate($('reference-set'), referenceProblem() || blockedBy(NEEDS_REFERENCE), 'previews the counters; nothing moves');
  const tipWhy = noPose || (tipStep() === null ? 'the step is a length above 0, at most 40' : null);
  for (const b of document.querySelectorAll('#tip-jog button')) gate(b, tipWhy, `previews a tip move ${b.dataset.way}`);
  markPreview();
}

export function buildTeach() {
  $('reference-counters').replaceChildren(
    ...model.A.COUNTERS.map((c, i) => {
      const input = element('input', { id: `reference-${i}`, type: 'number', step: '1' });
      input.addEventListener('input', () => hooks.render());
      return element('label', {}, `${i} `, input);
    }),
  );
  const R = model.A.REQUESTS;
  for (const id of ['pose-name', 'sequence-name']) $(id).maxLength = R.max_name_length;
  $('sequence-repeat').max = String(R.max_repeat);
  $('step-pause').max = String(R.max_pause_ms);
  const on = (id, event, f) => $(id).addEventListener(event, f);
  on('arm-view', 'click', clickTarget);
  for (const b of document.querySelectorAll('#tip-jog button')) b.addEventListener('click', () => tipJog(b));
  on('tip-step', 'input', markTeach);
  on('pose-name', 'input', markTeach);
  on('pose-save', 'click', async () => {
    const name = $('pose-name').value;
    if ((await send({ save_pose: name }, requestWords({ save_pose: name }))).http === 200) $('pose-name').value = '';
    loadPoses();
  });
  on('back', 'click', previewBack);
  on('reference-open', 'click', openReference);
  on('reference-cancel', 'click', () => {
    closeReference();
    hooks.render();
  });
  on('reference-set', 'click', previewReference);
  on('step-add', 'click', addStep);
  for (const id of ['sequence-name', 'sequence-repeat', 'step-pause', 'step-pose']) on(id, 'input', markTeach);
  on('sequence-save', 'click', saveSequence);
  on('player-end', 'click', () => {
    const paused = state.sequence && state.sequence.state === 'paused';
    send(paused ? { resume: true } : { pause: true }, paused ? 'resume the sequence' : 'pause the sequence');
  });
  on('history-load', 'click', loadHistory);
  loadPoses();
  loadSequences();
  setInterval(() => {
    loadPoses();
    loadSequences();
  }, LIST_REFRESH_MS);
}

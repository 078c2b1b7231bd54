// What the server's answers and the history's requests say, in words an
// operator reads: the run's status and meaning first, the HTTP status after.
import { $, model, state, errorText, letterWords, statusText, joint } from './core.js';

// A plan that no order allows lists its first few refusals.
const SHOWN_REFUSALS = 6;
const xy = (p) => `${p[0].toFixed(2)}, ${p[1].toFixed(2)}`;

export function breachText(r) {
  const where = r.at === undefined ? '' : r.on_the_way ? ` on the way (counter ${r.counter} = ${r.at})` : '';
  const F = model.A.formatG;
  return `${r.guard} must be ${r.rule}; it would be ${F(r.value)}${where}, beyond by ${F(r.beyond)}`;
}

export function planRefusalLines(p) {
  const lines = [`Not allowed${p.reason ? `: ${p.reason}` : ''}.`];
  const refusals = p.refusals || [];
  for (const r of refusals.slice(0, SHOWN_REFUSALS)) {
    const [first] = r.orders;
    const others = r.orders.length > 1 ? ` and ${r.orders.length - 1} more` : '';
    lines.push(
      `Order ${first}${others}: -${r.letter} (move ${first.indexOf(r.letter) + 1} of ${first}) refused: ${breachText(r.reason)}`,
    );
  }
  if (refusals.length > SHOWN_REFUSALS)
    lines.push(`… and ${refusals.length - SHOWN_REFUSALS} more refusals, each of other orders.`);
  return lines;
}

// "-V 300" as "elbow up 300".
function optionWords(options) {
  const out = [];
  for (let k = 0; k < options.length; k++) {
    const w = letterWords(options[k].replace(/^-/, ''));
    if (w && /^\d+$/.test(options[k + 1] || '')) out.push(`${w.word} ${options[++k]}`);
    else if (options[k] === '-Q') out.push('report');
    else out.push(options[k]);
  }
  return out.join(', ');
}

export function planLines(p) {
  const lines = [];
  if (p.tip && p.tip.reached)
    lines.push(
      `Tip target (${xy(p.tip.target)}); the counters put it at (${xy(p.tip.reached)}), ${model.A.formatG(p.tip.distance)} away.`,
    );
  else if (p.tip) lines.push(`Tip target (${xy(p.tip.target)}): no counters put the tip there.`);
  if (p.start && p.target) lines.push(`Counters ${p.start.join(', ')} → ${p.target.join(', ')}`);
  if (!p.allowed) return lines.concat(planRefusalLines(p));
  lines.push(
    p.options.length
      ? `Moves: ${optionWords(p.options)} (${p.options.join(' ')})`
      : 'Nothing to move: the arm is there.',
  );
  if (p.estimate_s !== undefined) lines.push(`Motion ≈ ${p.estimate_s.toFixed(1)} s`);
  for (const w of p.wrist_lag || [])
    lines.push(
      `Wrist lag: -${w.letter} turns the wrist motors in chunks of ten, so they stay ${w.steps} steps behind its counter.`,
    );
  return lines;
}

// A request as sent, in words: "jog elbow +300", "tip to (11.98, 4.03)", "go to pick".
const JOG_SIGN = { 1: '+', '-1': '−' };
function jogWords(options) {
  const parts = [];
  for (let k = 0; k < options.length; k++) {
    const w = letterWords(options[k].replace(/^-/, ''));
    if (w && /^\d+$/.test(options[k + 1] || ''))
      parts.push(`${joint(w.counter).name} ${JOG_SIGN[w.sign]}${options[++k]}`);
    else if (options[k] !== '-Q') parts.push(options[k]);
  }
  return parts.length ? `jog ${parts.join(', ')}` : 'report';
}
function targetWords(t) {
  if (t.pose !== undefined) return `go to ${t.pose}`;
  if (t.tip) return `tip to (${xy(t.tip)})${t.wrist !== undefined ? `, wrist ${t.wrist}°` : ''}`;
  if (t.counters) return `go to counters ${t.counters.join(' ')}`;
  if (t.history !== undefined) return `back to before history entry ${t.history}`;
  return JSON.stringify(t);
}
const REQUEST_WORDS = {
  options: (v) => jogWords(v),
  goto: (v) => targetWords(v),
  plan: (v) => `plan: ${targetWords(v)}`,
  back: () => 'back to before the last move',
  stop: () => 'STOP',
  clear: () => 'clear the stop',
  unlock: () => 'unlock',
  reference: (v) => `re-reference to ${v.join(' ')}`,
  save_pose: (v) => `save the pose ${v}`,
  delete_pose: (v) => `delete the pose ${v}`,
  save_sequence: (v) => `save the sequence ${v.name}`,
  delete_sequence: (v) => `delete the sequence ${v}`,
  import: () => 'import taught work',
  jog: (v) => `jog ${v.direction === '+' ? joint(v.counter).plus : joint(v.counter).minus}`,
  play: (v) => `play the sequence ${v}`,
  pause: () => 'pause the sequence',
  resume: () => 'resume the sequence',
  control: (v) => `drive: ${v}`,
};
export function requestWords(request) {
  const key = request && typeof request === 'object' ? Object.keys(request)[0] : null;
  return REQUEST_WORDS[key] ? REQUEST_WORDS[key](request[key]) : JSON.stringify(request);
}

// How a history entry ended: the run's status and meaning where the entry
// has one, then the HTTP status.
export function outcomeWords(h) {
  const jog = h.ended ? `${h.steps} steps, ${h.ended} · ` : '';
  const run = Number.isInteger(h.run_status) ? `${statusText(h.run_status)} · ` : '';
  return `${jog}${run}HTTP ${h.status}`;
}

// The answers that are no run of the controller, by the field they carry.
const DONE = {
  pose: (a) => `saved the pose "${a.pose.name}": ${a.pose.counters.join(', ')}`,
  deleted: (a) => `deleted "${a.deleted}"`,
  after: (a) =>
    `re-referenced: ${a.before && a.before.counters ? a.before.counters.join(', ') : '?'} → ${a.after.counters.join(', ')}`,
  sequence: (a) => `saved the sequence "${a.sequence.name}"`,
  plan: (a) => `nothing to move: the arm is at ${(a.counters || []).join(', ')}`,
  adds: () => 'imported',
};
const doneText = (answer) => {
  const key = Object.keys(DONE).find((k) => answer[k] !== undefined);
  return key ? DONE[key](answer) : 'done';
};

// The counters an answer saved are the arm's from now on: shown at once,
// not a poll later, so that nothing is judged or prefilled from the old ones.
function adoptCounters(answer) {
  const c = answer && (answer.after ? answer.after.counters : answer.counters);
  if (!Array.isArray(c) || c.length !== 6 || !c.every(Number.isInteger)) return;
  state.counters = c;
  state.pose = model.A.poseOf(c);
}

function answerLines(http, answer) {
  if (!answer) return [`HTTP ${http}: no answer from the controller's front end.`];
  if (answer.error) {
    const lines = [`${errorText(answer)} (HTTP ${http})`];
    if (answer.stopped) lines.push(`Stopped by ${answer.stopped_by || 'someone'} at ${answer.stopped_at}.`);
    if (answer.estimate_s !== undefined)
      lines.push(`Estimated motion ${answer.estimate_s.toFixed(1)} s; the bound is ${answer.bound_s} s.`);
    if (answer.plan && !answer.plan.allowed) lines.push(...planRefusalLines(answer.plan));
    return lines;
  }
  if (answer.status === undefined) return [`${doneText(answer)} (HTTP ${http})`];
  const lines = [`${statusText(answer.status)} (HTTP ${http})`];
  for (const o of answer.options || [])
    if (o.refused && o.reason) lines.push(`${o.option} ${o.count} refused: ${breachText(o.reason)}`);
  if (answer.reasons_note) lines.push(answer.reasons_note);
  if (answer.plan) lines.push(`Planned: ${answer.plan.options.join(' ')}`);
  if (answer.reached === false) lines.push('The run did not reach the planned counters.');
  if (answer.note) lines.push(answer.note);
  if (answer.counters) lines.push(`Counters: ${answer.counters.join(', ')}`);
  return lines;
}

// The answer to this page's last request, below the jog rows (the badge's
// FAULT is the server's last run, the same on every page).
export function showAnswer(http, answer, expected, what) {
  const el = $('answer');
  const lines = answerLines(http, answer);
  if (expected) lines.unshift(`The page expected a refusal: ${expected}.`);
  if (what) lines.unshift(`${what}:`);
  adoptCounters(answer);
  el.dataset.status = answer && answer.status !== undefined ? String(answer.status) : `http-${http}`;
  el.dataset.expected = expected ? 'refused' : '';
  el.textContent = lines.join('\n');
}

export function showPending(what) {
  $('answer').dataset.status = 'pending';
  $('answer').textContent = `Sent: ${what}…`;
}

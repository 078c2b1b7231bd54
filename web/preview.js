// One preview-then-confirm for every request that moves the arm or changes
// what is stored: shown beside the control that asked (never a modal
// dialog, which would cover STOP), with the proposed pose over the picture.
import { $, blockedBy, gate, hooks } from './core.js';

let current = null;
let asked = 0;

// The preview's state: none, asking (its plan is on the way), allowed or refused.
export function previewState() {
  if (!current) return 'none';
  if (current.problem) return 'refused';
  if (current.loading) return 'asking';
  return current.allowed === false ? 'refused' : 'allowed';
}

// Beside the control: in a row of its own under a table row, else after it.
function place(el, anchor) {
  document.querySelectorAll('tr.preview-row').forEach((tr) => {
    if (!tr.contains(el)) tr.remove();
  });
  const tr = anchor && anchor.closest('tr');
  if (tr) {
    const holder = document.createElement('tr');
    holder.className = 'preview-row';
    const td = document.createElement('td');
    td.colSpan = tr.cells.length;
    td.append(el);
    holder.append(td);
    tr.after(holder);
    document.querySelectorAll('tr.preview-row').forEach((r) => r !== holder && r.remove());
  } else if (anchor) {
    anchor.after(el);
    document.querySelectorAll('tr.preview-row').forEach((r) => r.remove());
  }
}

function show() {
  const el = $('plan');
  el.hidden = !current;
  el.dataset.state = previewState();
  el.dataset.kind = current ? current.kind : '';
  if (current) {
    $('plan-what').textContent = current.what;
    const lines = current.problem ? [`Refused on this page: ${current.problem}.`] : current.loading ? ['Asking the arm\'s front end for a plan…'] : current.lines;
    $('plan-text').textContent = lines.join('\n');
    $('plan-go').textContent = current.confirmLabel || 'Go';
  }
  hooks.render();
}

// p: { kind, what, anchor, needs, confirmLabel, lines, problem, ghost, tip, load, confirm }.
// `load` (optional) fetches what to show: { lines, allowed, ghost, problem }.
export async function openPreview(p) {
  const ask = ++asked;
  current = { lines: [], allowed: true, ...p, loading: Boolean(p.load) && !p.problem };
  const el = $('plan');
  place(el, p.anchor);
  show();
  el.scrollIntoView({ block: 'nearest' });
  if (!current.loading) return;
  let got;
  try {
    got = await p.load();
  } catch {
    got = { problem: 'no plan: no answer' };
  }
  if (ask !== asked || !current) return;
  Object.assign(current, got, { loading: false });
  show();
  $('plan').scrollIntoView({ block: 'nearest' });
}

export function closePreview() {
  current = null;
  asked++;
  document.querySelectorAll('tr.preview-row').forEach((r) => r.remove());
  const el = $('plan');
  $('plan-home').append(el);
  show();
}

function confirmProblem() {
  const s = previewState();
  if (s === 'asking') return 'waiting for the plan';
  if (s === 'refused') return current.kind === 'move' ? 'the move is not allowed' : 'not allowed';
  return current ? blockedBy(current.needs) : 'nothing to confirm';
}

export function markPreview() {
  gate($('plan-go'), confirmProblem(), current ? current.confirmTitle || 'confirms what the preview shows' : '');
}

// The pose the preview proposes and its tip target, for the picture.
export const previewGhost = () => (current ? { pose: current.ghost || null, tip: current.tip || null, refused: previewState() === 'refused' } : null);

export async function confirmPreview() {
  if (!current || confirmProblem()) return;
  const { confirm } = current;
  closePreview();
  await confirm();
}

export function wirePreview() {
  $('plan-go').addEventListener('click', confirmPreview);
  $('plan-cancel').addEventListener('click', closePreview);
}

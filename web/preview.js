// One preview-then-confirm for every request that moves the arm or changes
// what is stored: shown beside the control that asked (never a modal
// dialog, which would cover STOP), with the proposed pose over the picture.
import { $, blockedBy, gate, hooks } from './core.js';

let current = null;
let asked = 0;
// The element itself: while it sits in a table row, a refill of the table
// takes it out of the document.
let box = null;
const planBox = () => (box ||= $('plan'));

// How to find the control that asked again after its table is refilled.
function anchorSelector(anchor) {
  if (!anchor) return null;
  if (anchor.id) return `#${CSS.escape(anchor.id)}`;
  const table = anchor.closest('table');
  if (table && anchor.dataset.act)
    return `#${table.id} button[data-act="${anchor.dataset.act}"][data-name="${CSS.escape(anchor.dataset.name)}"]`;
  return null;
}

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
  const el = planBox();
  el.hidden = !current;
  el.dataset.state = previewState();
  el.dataset.kind = current ? current.kind : '';
  if (current) {
    $('plan-what').textContent = current.what;
    const lines = current.problem
      ? [`Refused on this page: ${current.problem}.`]
      : current.loading
        ? ["Asking the arm's front end for a plan…"]
        : current.lines;
    $('plan-text').textContent = lines.join('\n');
    $('plan-go').textContent = current.confirmLabel || 'Go';
  }
  hooks.render();
}

// p: { kind, what, anchor, needs, confirmLabel, lines, problem, ghost, tip, load, confirm }.
// `load` (optional) fetches what to show: { lines, allowed, ghost, problem }.
export async function openPreview(p) {
  const ask = ++asked;
  current = {
    lines: [],
    allowed: true,
    ...p,
    loading: Boolean(p.load) && !p.problem,
    selector: anchorSelector(p.anchor),
  };
  const el = planBox();
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
  planBox().scrollIntoView({ block: 'nearest' });
}

// After a table is refilled: beside the same control again, or under the
// picture when that control is gone.
export function keepPlaced() {
  const el = planBox();
  if (!current || el.isConnected) return;
  const anchor = current.selector && document.querySelector(current.selector);
  place(el, anchor || $('view-foot'));
}

export function closePreview() {
  current = null;
  asked++;
  document.querySelectorAll('tr.preview-row').forEach((r) => r.remove());
  $('plan-home').append(planBox());
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
export const previewGhost = () =>
  current ? { pose: current.ghost || null, tip: current.tip || null, refused: previewState() === 'refused' } : null;

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

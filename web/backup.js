// Taught work off the machine and back: the poses and sequences exported as
// one JSON file, and a file imported after a preview of what it adds and replaces.
import { $, hooks, getQuery, post, gate, blockedBy, errorText, NEEDS_CHANGE } from './core.js';
import { openPreview } from './preview.js';
import { send, loadPoses, loadSequences } from './teach.js';

const note = (text) => {
  $('backup-note').textContent = text;
};

async function exportTaught() {
  const { http, answer } = await getQuery('export', true);
  if (http !== 200 || !answer) {
    note(`Nothing exported: ${answer && answer.error ? errorText(answer) : `HTTP ${http}`}.`);
    hooks.render();
    return;
  }
  const file = new Blob([`${JSON.stringify(answer, null, 1)}\n`], { type: 'application/json' });
  const link = Object.assign(document.createElement('a'), {
    href: URL.createObjectURL(file),
    download: `armctl-taught-${new Date().toISOString().slice(0, 10)}.json`,
  });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
  note(`Exported ${answer.poses.length} poses and ${answer.sequences.length} sequences.`);
  hooks.render();
}

const names = (list) => (list && list.length ? list.join(', ') : 'none');
function importLines(a) {
  return [
    `Adds poses: ${names(a.adds.poses)}; sequences: ${names(a.adds.sequences)}.`,
    `Replaces poses: ${names(a.replaces.poses)}; sequences: ${names(a.replaces.sequences)}.`,
    ...(a.unchanged
      ? [`Unchanged poses: ${names(a.unchanged.poses)}; sequences: ${names(a.unchanged.sequences)}.`]
      : []),
    'Nothing moves.',
  ];
}

// The file as read, previewed by the server (which stores nothing), then applied.
async function importFile(file) {
  let taught;
  try {
    taught = JSON.parse(await file.text());
  } catch (e) {
    note(`${file.name} is not JSON (${e.message}).`);
    return;
  }
  openPreview({
    kind: 'import',
    what: `import ${file.name}`,
    anchor: $('backup-line'),
    needs: NEEDS_CHANGE,
    confirmLabel: 'Import',
    load: async () => {
      const { http, answer } = await post({ import: taught, apply: false });
      if (http !== 200 || !answer || !answer.adds)
        return { problem: `HTTP ${http}${answer && answer.error ? `: ${errorText(answer)}` : ''}` };
      return { lines: importLines(answer) };
    },
    confirm: async () => {
      const { http } = await send({ import: taught, apply: true }, `import ${file.name}`);
      if (http === 200) note(`Imported ${file.name}.`);
      loadPoses();
      loadSequences();
    },
  });
}

export function markBackup() {
  gate($('export'), blockedBy({ login: true, idle: true }), 'downloads the poses and sequences as one JSON file');
}

export function wireBackup() {
  $('export').addEventListener('click', exportTaught);
  $('import-file').addEventListener('change', () => {
    const [file] = $('import-file').files;
    // Emptied, so that the same file chosen again is read again.
    $('import-file').value = '';
    if (file) importFile(file);
  });
}

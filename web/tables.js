// The numbers beside the picture: the guards, the controller's report
// (the tip as a point) and the six counters by joint.
import { $, model, joint, row } from './core.js';

export function fillLimits(limits) {
  const F = model.A.formatG;
  $('limits').tBodies[0].replaceChildren(
    ...limits.each.map(({ condition: c, value, within }, i) => {
      const status = within ? 'within' : 'beyond';
      return row([c.quantity, F(value), c.rule, c.letters.join(' ')], {
        id: `limit-${i}`,
        class: `limit ${status}`,
        'data-status': status,
      });
    }),
  );
}

export function fillReport(pose) {
  const A = model.A;
  $('report').tBodies[0].replaceChildren(
    ...A.RECORDS.map((name) => {
      const s = pose[name];
      return row(
        [name === 'total' ? 'tip' : name, `(${A.formatG(s.x)}, ${A.formatG(s.y)})`, A.formatG(s.r), A.formatG(s.theta)],
        { id: `report-${name}`, class: name, 'data-line': A.reportLine(s) },
      );
    }),
  );
}

const outside = (c, value) => value < c.range[0] || value > c.range[1];

function counterNote(c, value) {
  if (c.angle) return `${c.angle} angle`;
  const [lo, hi] = c.range;
  return outside(c, value) ? `outside ${lo}…${hi}` : `${lo}…${hi}`;
}

export function fillCounters(counters) {
  $('counters').tBodies[0].replaceChildren(
    ...model.A.COUNTERS.map((c, i) =>
      row(
        [
          `${i} ${joint(i).name}`,
          String(counters[i]),
          `${c.grow} / ${c.shrink}`,
          c.motors,
          counterNote(c, counters[i]),
        ],
        {
          id: `counter-${i}`,
          class: c.range && outside(c, counters[i]) ? 'outside' : '',
          'data-value': String(counters[i]),
        },
      ),
    ),
  );
}

export function clearTables() {
  for (const id of ['limits', 'report', 'counters']) $(id).tBodies[0].replaceChildren();
}

// The page's geometry and its reading of the guards it draws, and the test
// server's reading of the state files, against the controller itself: ARMCTL
// names a simulated controller, ARMCTL_STATE_DIR its state directory
// (scratch: the test rewrites both state files there).
'use strict';

const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it, before } = require('node:test');

const A = require('../arm.js');
const { compareField, positionCounters, lockHeld } = require('./support.js');

const CONTROLLER = process.env.ARMCTL;
const STATE_DIR = process.env.ARMCTL_STATE_DIR;
const GUARD_REFUSED = 88;

function runController(positionText, args) {
  fs.writeFileSync(path.join(STATE_DIR, 'lock.dat'), '0\n');
  fs.writeFileSync(path.join(STATE_DIR, 'robot_position.dat'), positionText);
  const run = spawnSync(CONTROLLER, args, { encoding: 'utf8', timeout: 20000 });
  assert.equal(run.error, undefined, `running ${CONTROLLER}: ${run.error}`);
  return { status: run.status, lines: run.stdout.split('\n').filter((l) => l !== '') };
}

const positionText = (counters) => counters.map((c) => `${c} `).join('') + '\n';

// The controller's "-Q" report for six counters, and the counters it loaded.
function report(counters) {
  const { status, lines } = runController(positionText(counters), ['-Q']);
  assert.equal(lines.length, 6, `report for ${counters}: ${lines.join(' | ')}`);
  return { status, report: lines.slice(0, 5), summary: lines[5] };
}

// Seeded, so a failure names a position that reproduces.
function random(seed) {
  let s = seed >>> 0;
  return () => {
    s = (s + 0x6d2b79f5) >>> 0;
    let t = s;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

function randomPositions(count, seed) {
  const next = random(seed);
  const between = (lo, hi) => Math.floor(lo + next() * (hi - lo + 1));
  return Array.from({ length: count }, () => [
    between(-800, 800),
    between(-4000, 4000),
    between(-4000, 4000),
    between(-2000, 2000),
    between(-1500, 4500),
    between(-2000, 1600),
  ]);
}

const CHOSEN_POSITIONS = [
  [0, 0, 0, 0, 0, 0],
  [0, 0, 0, 0, 200, 0],
  [0, -500, 0, 0, 1000, 0],
  [0, -500, 30, 0, 1000, 12],
  [800, 0, 0, -2000, 0, -2000], // counters outside the geometry only
  [0, 0, 0, 0, -982, 0],
  [0, 0, 0, 0, -983, 0],
  [0, 483, 0, 0, -844, 0], // elbow bend a hair below 50
  [0, 2778, 2239, 0, 2211, 0], // every segment near upright
  [0, -5556, 4478, 0, 4423, 0], // angles past 180 and the tip on the left
  [0, 407, 0, 0, -324, 0], // shoulder and elbow heights cancel
  // 300000 wrist counts are exactly 67 half turns: the wrist's tiny height
  // comes from the calibration's rounded pi alone.
  [0, 0, 300000, 0, 0, 0],
  // The same beside shoulder and elbow heights that cancel exactly: only
  // the controller's order of summing (wrist first) gives its digits.
  [0, 4070, 300000, 0, -3240, 0],
  [0, 2147483647, -2147483648, 0, 2147483647, 0],
  [0, -2147483648, 2147483647, 0, -2147483648, 0],
];

describe('geometry against the controller', { concurrency: false }, () => {
  before(() => {
    assert.ok(
      CONTROLLER && STATE_DIR,
      'set ARMCTL and ARMCTL_STATE_DIR to a simulated controller and its state directory',
    );
    assert.ok(fs.statSync(STATE_DIR).isDirectory(), `${STATE_DIR} is not a directory`);
  });

  const positions = [...CHOSEN_POSITIONS, ...randomPositions(150, 20240611)];
  const tally = { exact: 0, near: 0 };

  it(`agrees with "-Q" on ${positions.length} positions`, (t) => {
    for (const counters of positions) {
      const got = report(counters);
      assert.equal(got.status, 0, `controller status for ${counters}`);
      const pose = A.poseOf(counters);
      A.RECORDS.forEach((name, i) => {
        const printed = got.report[i].split(',');
        const s = pose[name];
        [s.x, s.y, s.r, s.theta].forEach((value, j) => {
          const verdict = compareField(value, printed[j]);
          assert.notEqual(
            verdict,
            'differs',
            `${name} field ${'xyrt'[j]} for counters ${counters}: page ${value} (${A.formatG(value)}), controller ${printed[j]}`,
          );
          tally[verdict]++;
        });
      });
    }
    const fields = positions.length * 20;
    t.diagnostic(`${tally.exact} fields digit for digit, ${tally.near} within one last digit`);
    assert.equal(tally.exact + tally.near, fields);
    // Anything more than a stray last digit means different arithmetic.
    assert.ok(tally.near <= fields / 100, `${tally.near} of ${fields} fields only within one digit`);
  });

  it('prints the report lines of the documented poses digit for digit', () => {
    const cases = [
      [
        [0, 0, 0, 0, 0, 0],
        ['0,9.5,9.5,0', '7.5,0,7.5,0', '7.5,0,7.5,0', '4.5,0,4.5,0', '19.5,0,19.5,0'],
      ],
      [
        [0, 0, 0, 0, 200, 0],
        ['0,9.5,9.5,0', '7.42444,1.06194,7.5,8.14', '7.5,0,7.5,0', '4.5,0,4.5,0', '19.4244,1.06194,19.4534,3.12927'],
      ],
      [
        [0, -500, 0, 0, 1000, 0],
        [
          '0,9.5,9.5,0',
          '5.68601,4.89074,7.5,40.7',
          '7.2022,-2.09243,7.5,-16.2',
          '4.5,0,4.5,0',
          '17.3882,2.7983,17.6119,9.14229',
        ],
      ],
    ];
    for (const [counters, lines] of cases) {
      assert.deepEqual(A.reportLines(A.poseOf(counters)), lines);
      assert.deepEqual(report(counters).report, lines);
    }
  });

  it('ignores counters 0, 3 and 5', () => {
    const plain = A.reportLines(A.poseOf([0, -500, 30, 0, 1000, 0]));
    assert.deepEqual(A.reportLines(A.poseOf([-800, -500, 30, 2000, 1000, 1600])), plain);
  });
});

// The test server serves the counters as armctld does: as a run loads them.
describe('position file read as the controller reads it', { concurrency: false }, () => {
  const cases = [
    ['one line with trailing space', '0 -500 30 0 1000 12 \n', [0, -500, 30, 0, 1000, 12]],
    ['newlines and tabs between', '\n 0\n-500\t30\n0\n1000\n12', [0, -500, 30, 0, 1000, 12]],
    ['signs and leading zeros', '+7 -0 007 -12 +0 5\n', [7, 0, 7, -12, 0, 5]],
    ['only three numbers', '1 2 3\n', [1, 2, 3, 0, 0, 0]],
    ['a letter stops the rest', '1 2 x 4 5 6\n', [1, 2, 0, 0, 0, 0]],
    ['a lone sign is consumed', '1 - 3 4 5 6\n', [1, 0, 3, 4, 5, 6]],
    ['beyond 32 bits', '1 99999999999 3 4 5 6\n', [1, 0, 0, 0, 0, 0]],
    ['empty', '', [0, 0, 0, 0, 0, 0]],
    ['blank', ' \n\t\n', [0, 0, 0, 0, 0, 0]],
    ['text after the six', '1 2 3 4 5 6 junk\n', [1, 2, 3, 4, 5, 6]],
    ['the 32-bit limits', '-2147483648 2147483647 0 0 0 0', [-2147483648, 2147483647, 0, 0, 0, 0]],
    ['a byte-order mark', '\uFEFF1 2 3 4 5 6\n', [0, 0, 0, 0, 0, 0]],
    ['no-break spaces are no white space', '1\u00A02 3 4 5 6\n', [1, 0, 0, 0, 0, 0]],
  ];
  for (const [name, text, counters] of cases) {
    it(name, () => {
      // As the test server reads it: the file's bytes as UTF-8, a byte-order mark kept.
      const read = positionCounters(Buffer.from(text, 'utf8').toString('utf8'));
      assert.deepEqual(read, counters);
      assert.ok(
        read.every((c) => !Object.is(c, -0)),
        'a counter of -0',
      );
      // The counters a run loads come back in its summary line.
      const { lines } = runController(text, []);
      assert.equal(lines.at(-1), counters.join(','));
    });
  }
});

describe('lock file', () => {
  const cases = [
    ['0\n', false],
    ['1\n', true],
    ['-3', true],
    ['  0\n', false],
    ['+0', false],
    ['7 junk', true],
    ['99999999999\n', true],
    ['x', null],
    ['', null],
    ['-\n', null],
  ];
  for (const [text, held] of cases) {
    it(`${JSON.stringify(text)} reads as ${held === null ? 'no number' : held ? 'held' : 'free'}`, () => {
      assert.equal(lockHeld(text), held);
    });
  }
});

describe('guards as the page draws them, against the controller', { concurrency: false }, () => {
  // A move of 0 steps changes no counter, so a geometry-guarded letter tests
  // its conditions, as the model's tables give them to the page, on the pose
  // as it stands: the guards table's "within" is the controller's verdict.
  const conditions = Object.values(A.CONDITIONS);
  const geometryLetters = [...new Set(conditions.flatMap((c) => c.letters))].map((letter) => [
    letter,
    conditions.filter((c) => c.letters.includes(letter)),
  ]);

  // Poses on both sides of every limit, found by walking one counter.
  function acrossLimit(counters, index, step, crossed) {
    const c = counters.slice();
    for (let k = 0; k < 20000 && !crossed(A.limitsOf(A.poseOf(c))); k++) c[index] += step;
    const after = c.slice();
    c[index] -= step;
    return [c, after];
  }
  const zero = [0, 0, 0, 0, 0, 0];
  const poses = [
    zero,
    [0, 483, 0, 0, -844, 0],
    [0, 484, 0, 0, -844, 0],
    [0, 0, 0, 0, -982, 0],
    [0, 0, 0, 0, -983, 0],
    ...acrossLimit([0, 0, 0, 0, 1200, 0], 2, 1, (l) => !l.tipHeight.withinAbove),
    ...acrossLimit([0, 0, 0, 0, -900, 0], 1, -1, (l) => !l.tipHeight.withinBelow),
    ...acrossLimit([0, 0, 0, 0, -900, 0], 1, -1, (l) => !l.tipHeight.withinBelowFar),
    ...acrossLimit([0, 0, 0, 0, 0, 0], 2, 1, (l) => !l.wristBend.within),
    ...acrossLimit([0, 0, 0, 0, 0, 0], 1, 1, (l) => !l.elbowBend.within),
  ];

  it('the page reads the documented bend as below 50 where a plain subtraction says 50', () => {
    const pose = A.poseOf([0, 483, 0, 0, -844, 0]);
    assert.equal(pose.elbow.theta - pose.shoulder.theta, 50);
    assert.equal(A.limitsOf(pose).elbowBend.within, true);
  });

  for (const counters of poses) {
    it(`letters allowed at ${counters}`, () => {
      const pose = A.poseOf(counters);
      assert.equal(geometryLetters.length, 6);
      const within = A.limitsOf(pose).each.map((l) => l.within);
      for (const [letter, guards] of geometryLetters) {
        const allowed = guards.every((c) => within[conditions.indexOf(c)]);
        const { status } = runController(positionText(counters), [`-${letter}`, '0']);
        assert.equal(status === 0, allowed, `-${letter} 0 at ${counters}: controller status ${status}`);
        assert.ok(status === 0 || status === GUARD_REFUSED, `status ${status}`);
      }
    });
  }
});

describe('printing as C\'s "%g"', () => {
  // Each expectation follows from C's rules: six significant digits rounded
  // half to even on the exact binary value, trailing zeros dropped, exponent
  // form below 1e-4 and from 1e6 on with at least two exponent digits.
  const cases = [
    [0, '0'],
    [-0, '-0'],
    [9.5, '9.5'],
    [-7.5, '-7.5'],
    [40.7, '40.7'],
    [1.5e-5, '1.5e-05'],
    [0.0001, '0.0001'],
    [0.000123456789, '0.000123457'],
    [123456, '123456'],
    [123456.5, '123456'],
    [123457.5, '123458'],
    [999999.4, '999999'],
    [999999.5, '1e+06'],
    [1234567, '1.23457e+06'],
    [1.015625, '1.01562'],
    [1.234375, '1.23438'],
    [1e100, '1e+100'],
    [5e-324, '4.94066e-324'],
    [2 ** -30, '9.31323e-10'],
    [Infinity, 'inf'],
    [-Infinity, '-inf'],
  ];
  for (const [value, text] of cases) {
    it(`${value} prints as ${text}`, () => assert.equal(A.formatG(value), text));
  }
});

// The arm's geometry as the controller computes it, for drawing the live
// page and for node: pure functions, no DOM. The guards themselves are the
// server's: the page only draws where a pose stands against them.
// The joints, letters, conditions, limits and statuses are the controller's
// own, from arm-model.json, which the build writes from its tables: in node
// the file at ARMCTL_MODEL_JSON (or beside this one), in the page the object
// that page.js fetches and hands to ArmModel.fromModel.
(function (root, build) {
  if (typeof module === 'object' && module.exports) {
    const fs = require('node:fs');
    const path = require('node:path');
    const file = process.env.ARMCTL_MODEL_JSON || path.join(__dirname, 'arm-model.json');
    module.exports = build(JSON.parse(fs.readFileSync(file, 'utf8')));
  } else {
    root.ArmModel = { fromModel: build };
  }
})(typeof self !== 'undefined' ? self : this, function (model) {
  'use strict';

  // The controller's calibration: its rounded pi and the matching
  // radians-to-degrees factor, not the full-precision values.
  const PI = model.pi;
  const DEGREES_PER_RADIAN = model.degrees_per_radian;
  const BASE_LENGTH = model.base_length;
  // From the shoulder pivot to the tip. Each angle is absolute, straight
  // from its own counter, never added to the angle of the segment before it.
  const SEGMENTS = model.chain.map((i) => {
    const j = model.joints[i];
    return { name: j.segment, length: j.length, counter: i, degreesPerCount: j.degrees_per_count };
  });

  const commandOf = (letter) => model.commands.find((c) => c.letter === letter);

  // The six counters: which letters grow and shrink them, which motors they
  // drive, and either the geometry they set or the range their guard keeps.
  const COUNTERS = model.joints.map((j) => {
    const c = { grow: j.grow, shrink: j.shrink, motors: j.motors };
    if (j.segment) c.angle = j.segment;
    else c.range = [commandOf(j.shrink).limit, commandOf(j.grow).limit];
    return c;
  });

  const INT32_MIN = -2147483648;
  const INT32_MAX = 2147483647;

  // Evaluated in the controller's order: angle times pi, then over 180, then
  // the cosine or sine, then times the length.
  function rect(r, theta) {
    return {
      x: Math.cos((theta * PI) / 180) * r,
      y: Math.sin((theta * PI) / 180) * r,
    };
  }

  // The one-argument arc tangent: the angle lies within [-90, 90] and does
  // not tell a tip on the left from one on the right.
  function polar(x, y) {
    return { r: Math.sqrt(x * x + y * y), theta: Math.atan(y / x) * DEGREES_PER_RADIAN };
  }

  function armSegment(length, count, degreesPerCount) {
    const theta = count * degreesPerCount;
    const { x, y } = rect(length, theta);
    return { r: length, theta, x, y };
  }

  // The five records of the controller's report for six counters.
  function poseOf(counters) {
    const pose = { base: { r: BASE_LENGTH, theta: 0, x: 0, y: BASE_LENGTH } };
    for (const s of SEGMENTS) pose[s.name] = armSegment(s.length, counters[s.counter], s.degreesPerCount);
    const { shoulder, elbow, wrist } = pose;
    // Summed wrist first, as the controller does; the order shows in the last bit.
    const x = wrist.x + elbow.x + shoulder.x;
    const y = wrist.y + elbow.y + shoulder.y;
    pose.total = Object.assign({ x, y }, polar(x, y));
    return pose;
  }

  // Whether a - b < limit for the exact difference of the two doubles: a
  // plain subtraction can round a bend just below its limit up onto it, and
  // the guards do not.
  function differenceBelow(a, b, limit) {
    const s = a - b;
    if (s !== limit) return s < limit;
    const bVirtual = a - s;
    const error = a - (s + bVirtual) + (bVirtual - b);
    return error < 0;
  }

  // What each quantity is in a pose, and how a condition compares it: the
  // bends on the exact difference of the two angles (a - b > L is b - a < -L).
  const QUANTITIES = {
    'tip height': { value: (p) => p.total.y },
    'shoulder angle': { value: (p) => p.shoulder.theta },
    'elbow bend': { bend: ['elbow', 'shoulder'] },
    'wrist bend': { bend: ['wrist', 'elbow'] },
  };

  function holdsFor(c) {
    const q = QUANTITIES[c.quantity];
    if (q.bend) {
      const [a, b] = q.bend;
      return c.comparison === '<'
        ? (p) => differenceBelow(p[a].theta, p[b].theta, c.limit)
        : (p) => differenceBelow(p[b].theta, p[a].theta, -c.limit);
    }
    return c.comparison === '<' ? (p) => q.value(p) < c.limit : (p) => q.value(p) > c.limit;
  }

  function valueFor(c) {
    const q = QUANTITIES[c.quantity];
    return q.bend ? (p) => p[q.bend[0]].theta - p[q.bend[1]].theta : q.value;
  }

  // Each condition by name: whether a pose keeps it, its value, and its words.
  const CONDITIONS = Object.fromEntries(
    model.conditions.map((c) => [
      c.name,
      {
        name: c.name,
        quantity: c.quantity,
        comparison: c.comparison,
        limit: c.limit,
        rule: `${c.comparison} ${c.limit}`,
        letters: c.letters.split(''),
        holds: holdsFor(c),
        value: valueFor(c),
        text: `${c.quantity} ${c.comparison} ${c.limit}`,
      },
    ]),
  );

  // The conditions found by what they bound, not by name, so that the page
  // follows the model's table: the tip's upper bound, its lower bounds
  // nearest first, and the one condition on each angle.
  const CONDITION_LIST = Object.values(CONDITIONS);
  const TIP_BOUNDS = CONDITION_LIST.filter((c) => c.quantity === 'tip height');
  const UPPER = TIP_BOUNDS.filter((c) => c.comparison === '<');
  const LOWER = TIP_BOUNDS.filter((c) => c.comparison === '>').sort((a, b) => b.limit - a.limit);
  const on = (quantity) => CONDITION_LIST.find((c) => c.quantity === quantity);
  const ANGLES = { elbowBend: on('elbow bend'), wristBend: on('wrist bend'), shoulderAngle: on('shoulder angle') };

  // The limits the picture draws, by what they bound.
  const LIMITS = Object.assign(
    { tipAbove: UPPER[0].limit, tipBelow: LOWER[0].limit, tipBelowFar: LOWER[LOWER.length - 1].limit },
    Object.fromEntries(Object.entries(ANGLES).map(([k, c]) => [k, c.limit])),
  );

  // Where the pose stands against each guard; `each`: every condition in the
  // model's order.
  function limitsOf(pose) {
    const of = (c) => ({ value: c.value(pose), within: c.holds(pose) });
    return Object.assign(
      {
        tipHeight: {
          value: pose.total.y,
          withinAbove: UPPER[0].holds(pose),
          withinBelow: LOWER[0].holds(pose),
          withinBelowFar: LOWER[LOWER.length - 1].holds(pose),
        },
        each: CONDITION_LIST.map((c) => Object.assign({ condition: c }, of(c))),
      },
      Object.fromEntries(Object.entries(ANGLES).map(([k, c]) => [k, of(c)])),
    );
  }

  // The exact value of a finite positive double as numerator / power of two.
  function exactRatio(v) {
    const view = new DataView(new ArrayBuffer(8));
    view.setFloat64(0, v);
    const bits = view.getBigUint64(0);
    const exponent = Number((bits >> 52n) & 0x7ffn);
    const fraction = bits & 0xfffffffffffffn;
    const mantissa = exponent === 0 ? fraction : fraction | (1n << 52n);
    const power = (exponent === 0 ? 1 : exponent) - 1075;
    return power >= 0 ? [mantissa << BigInt(power), 1n] : [mantissa, 1n << BigInt(-power)];
  }

  // Sign of num/den - 10^e.
  function comparePowerOfTen(num, den, e) {
    const lhs = e >= 0 ? num : num * 10n ** BigInt(-e);
    const rhs = e >= 0 ? den * 10n ** BigInt(e) : den;
    return lhs < rhs ? -1 : lhs > rhs ? 1 : 0;
  }

  // The six significant digits of |v|, rounded half to even on the exact
  // value as C's printf does, and the decimal exponent of the first one.
  function sixDigits(magnitude) {
    const [num, den] = exactRatio(magnitude);
    let e = Math.floor(Math.log10(magnitude));
    while (comparePowerOfTen(num, den, e) < 0) e--;
    while (comparePowerOfTen(num, den, e + 1) >= 0) e++;
    const shift = 5 - e;
    const n = shift >= 0 ? num * 10n ** BigInt(shift) : num;
    const d = shift >= 0 ? den : den * 10n ** BigInt(-shift);
    let q = n / d;
    const twiceRest = 2n * (n - q * d);
    if (twiceRest > d || (twiceRest === d && (q & 1n) === 1n)) q += 1n;
    if (q === 1000000n) return { digits: '100000', exponent: e + 1 };
    return { digits: q.toString(), exponent: e };
  }

  function dropTrailingZeros(fraction) {
    return fraction.replace(/0+$/, '');
  }

  // C's "%g" (as in the report's "%lg"): six significant digits, trailing
  // zeros and point dropped, exponent form below 1e-4 and from 1e6 on.
  function formatG(v) {
    if (Number.isNaN(v)) return 'nan'; // C may print "-nan"; a NaN's sign is not visible here
    const sign = v < 0 || Object.is(v, -0) ? '-' : '';
    const magnitude = Math.abs(v);
    if (magnitude === Infinity) return sign + 'inf';
    if (magnitude === 0) return sign + '0';
    const { digits, exponent } = sixDigits(magnitude);
    if (exponent < -4 || exponent >= 6) {
      const fraction = dropTrailingZeros(digits.slice(1));
      const expDigits = String(Math.abs(exponent)).padStart(2, '0');
      return `${sign}${digits[0]}${fraction ? '.' + fraction : ''}e${exponent < 0 ? '-' : '+'}${expDigits}`;
    }
    const whole = exponent >= 0 ? digits.slice(0, exponent + 1) : '0';
    const fraction = dropTrailingZeros(exponent >= 0 ? digits.slice(exponent + 1) : '0'.repeat(-exponent - 1) + digits);
    return sign + whole + (fraction ? '.' + fraction : '');
  }

  // One line of the controller's report: "x,y,r,theta".
  function reportLine(segment) {
    return [segment.x, segment.y, segment.r, segment.theta].map(formatG).join(',');
  }

  const RECORDS = ['base', 'shoulder', 'elbow', 'wrist', 'total'];

  function reportLines(pose) {
    return RECORDS.map((name) => reportLine(pose[name]));
  }

  const STATUSES = model.statuses;

  // The two links that a tip target moves (the wrist keeps its counter, and
  // so its absolute angle), and how far a solved tip may miss its target.
  const LINKS = SEGMENTS.filter((s) => s.name !== 'wrist').reduce((sum, s) => sum + s.length, 0);
  const TIP_TOLERANCE = model.tip_tolerance;

  // The tip heights the picture draws as forbidden: at or above an upper
  // bound (the letters that raise the tip from a usual pose may not end
  // there), or at or below every lower bound. The page refuses a target there
  // without asking, although the planner may reach some of them by swinging
  // the shoulder past the vertical, where a letter that raises it lowers the tip.
  function forbiddenHeight(y) {
    const breaks = (c) => !c.holds({ total: { y } });
    const above = UPPER.find(breaks);
    if (above) return above;
    return LOWER.length && LOWER.every(breaks) ? LOWER[LOWER.length - 1] : null;
  }

  // Why a tip target (arm coordinates: origin the shoulder pivot, x out, y
  // up) cannot be reached from `pose`, or null; the server judges the rest.
  function tipTargetProblem(pose, x, y) {
    if (!Number.isFinite(x) || !Number.isFinite(y)) return 'the target needs two numbers';
    const fromWrist = Math.hypot(x - pose.wrist.x, y - pose.wrist.y);
    if (fromWrist > LINKS + TIP_TOLERANCE)
      return `out of reach: with the wrist kept at its angle, the elbow's end would lie ${fromWrist.toFixed(2)} from the shoulder pivot; the two links reach ${LINKS}`;
    const c = forbiddenHeight(y);
    return c ? `a tip height of ${formatG(y)} breaks ${c.text} (${c.letters.join(' ')})` : null;
  }

  return {
    BASE_LENGTH,
    SEGMENTS,
    LIMITS,
    COUNTERS,
    REQUESTS: model.requests,
    RECORDS,
    poseOf,
    limitsOf,
    formatG,
    reportLine,
    reportLines,
    CONDITIONS,
    TIP_BOUNDS,
    STATUSES,
    INT32: [INT32_MIN, INT32_MAX],
    TIP_TOLERANCE,
    tipTargetProblem,
  };
});

// The arm's geometry and state-file formats as the controller has them, for
// the live page and for node: pure functions, no DOM.
(function (root, build) {
  const api = build();
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.ArmGeometry = api;
})(typeof self !== 'undefined' ? self : this, function () {
  'use strict';

  // The controller's calibration: its rounded pi and the matching
  // radians-to-degrees factor, not the full-precision values. The printed
  // digits depend on them, so they must not be "improved" here.
  const PI = 3.14159265359;
  const DEGREES_PER_RADIAN = 57.29577951307855;

  const BASE_LENGTH = 9.5;
  // Each angle is absolute, straight from its own counter, never added to
  // the angle of the segment before it.
  const SEGMENTS = [
    { name: 'shoulder', length: 7.5, counter: 4, degreesPerCount: 0.0407 },
    { name: 'elbow', length: 7.5, counter: 1, degreesPerCount: 0.0324 },
    { name: 'wrist', length: 4.5, counter: 2, degreesPerCount: 0.0402 },
  ];

  // What the guards of the motion letters test, on the pose after a move.
  // Tip heights are relative to the shoulder pivot.
  const LIMITS = {
    tipAbove: 10, // H, V, E need total.y < 10
    tipBelow: -10, // F needs total.y > -10
    tipBelowFar: -10.5, // N, W need total.y > -10.5
    elbowBend: 50, // N, V need elbow.theta - shoulder.theta < 50
    wristBend: 80, // F needs wrist.theta - elbow.theta < 80
    shoulderAngle: -40, // N needs shoulder.theta > -40
  };

  // The six counters: which letters grow and shrink them, which motors they
  // drive, and either the geometry they set or the range their guard keeps.
  const COUNTERS = [
    { grow: 'G', shrink: 'B', motors: '5', range: [-800, 800] },
    { grow: 'V', shrink: 'F', motors: '4', angle: 'elbow' },
    { grow: 'E', shrink: 'W', motors: '1, 3 opposed', angle: 'wrist' },
    { grow: 'T', shrink: 'R', motors: '1, 3 together', range: [-2000, 2000] },
    { grow: 'H', shrink: 'N', motors: '6', angle: 'shoulder' },
    { grow: 'S', shrink: 'X', motors: '2', range: [-2000, 1600] },
  ];

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
    for (const s of SEGMENTS)
      pose[s.name] = armSegment(s.length, counters[s.counter], s.degreesPerCount);
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
    const error = (a - (s + bVirtual)) + (bVirtual - b);
    return error < 0;
  }

  // Where the pose stands against each guard, with the letters that test it.
  function limitsOf(pose) {
    const y = pose.total.y;
    const shoulder = pose.shoulder.theta;
    const elbow = pose.elbow.theta;
    const wrist = pose.wrist.theta;
    return {
      tipHeight: {
        value: y,
        withinAbove: y < LIMITS.tipAbove,
        withinBelow: y > LIMITS.tipBelow,
        withinBelowFar: y > LIMITS.tipBelowFar,
      },
      elbowBend: { value: elbow - shoulder, within: differenceBelow(elbow, shoulder, LIMITS.elbowBend) },
      wristBend: { value: wrist - elbow, within: differenceBelow(wrist, elbow, LIMITS.wristBend) },
      shoulderAngle: { value: shoulder, within: shoulder > LIMITS.shoulderAngle },
    };
  }

  const SPACE = ' \t\n\v\f\r';

  // One "%d" conversion from `pos`: white space skipped, an optional sign, the
  // digits. A sign with no digit after it is consumed and the conversion
  // fails; any other character that cannot start a number stays unread.
  function scanInt(text, pos) {
    while (pos < text.length && SPACE.includes(text[pos])) pos++;
    let negative = false;
    const signAt = pos;
    if (text[pos] === '+' || text[pos] === '-') {
      negative = text[pos] === '-';
      pos++;
    }
    const start = pos;
    while (pos < text.length && text[pos] >= '0' && text[pos] <= '9') pos++;
    // Without a sign to consume, the character stays for every later conversion.
    if (pos === start) return { kind: 'none', pos, stuck: start === signAt };
    const magnitude = Number(text.slice(start, pos));
    const value = (negative ? -magnitude : magnitude) + 0; // no "-0" counter
    if (value < INT32_MIN || value > INT32_MAX) return { kind: 'range', pos };
    return { kind: 'number', value, pos };
  }

  // robot_position.dat as the controller reads it: six successive "%d"
  // conversions. `counters` is what a run would load (a failed conversion
  // leaves 0); `problems` is empty only for a well-formed file, which alone
  // tells the pose: anything else may be a torn or foreign file.
  function parsePosition(text) {
    const counters = [0, 0, 0, 0, 0, 0];
    const problems = [];
    let pos = 0;
    for (let i = 0; i < counters.length; i++) {
      const r = scanInt(text, pos);
      pos = r.pos;
      if (r.kind === 'number') {
        counters[i] = r.value;
        continue;
      }
      if (r.kind === 'range') {
        problems.push(`counter ${i} is outside the 32-bit range, and the controller reads no further`);
        break;
      }
      if (pos >= text.length) {
        problems.push(onlySpace(text) ? 'it is empty' : `it ends before counter ${i}`);
        break;
      }
      if (!r.stuck) {
        problems.push(`counter ${i} is not a number`);
        continue;
      }
      problems.push(`counter ${i} is not a number (${JSON.stringify(text[pos])}), and the controller reads no further`);
      break;
    }
    if (problems.length === 0 && !onlySpace(text.slice(pos)))
      problems.push('there is more text after the six counters');
    return { counters, problems };
  }

  // A state file's bytes as text, as the controller sees them: a byte-order
  // mark is kept (it cannot start a number, so the controller reads none),
  // where the browser's Response.text() would silently drop it.
  function decodeStateFile(bytes) {
    return new TextDecoder('utf-8', { ignoreBOM: true }).decode(bytes);
  }

  const onlySpace = (text) => [...text].every((c) => SPACE.includes(c));

  // lock.dat: one "%d"; any non-zero value means a run holds the lock.
  function parseLock(text) {
    const r = scanInt(text, 0);
    if (r.kind === 'none') return { held: null, problem: 'it holds no number' };
    return { held: r.kind === 'range' || r.value !== 0, problem: null };
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
    const fraction = dropTrailingZeros(
      exponent >= 0 ? digits.slice(exponent + 1) : '0'.repeat(-exponent - 1) + digits
    );
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

  return {
    PI,
    DEGREES_PER_RADIAN,
    BASE_LENGTH,
    SEGMENTS,
    LIMITS,
    COUNTERS,
    RECORDS,
    rect,
    polar,
    poseOf,
    differenceBelow,
    limitsOf,
    parsePosition,
    parseLock,
    decodeStateFile,
    formatG,
    reportLine,
    reportLines,
  };
});

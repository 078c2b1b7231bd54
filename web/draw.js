// The picture: the arm in its vertical plane with its segments named, the
// pose a moving run is expected at, the pose a preview proposes, and a
// picture that cannot be mistaken for current when it is not.
import { $, model, joint } from './core.js';

// Drawing space, in arm units with y up; the floor is the foot of the base.
export const VIEW = { left: -21, right: 21, bottom: -11.5, top: 30 };
const SVG_NS = 'http://www.w3.org/2000/svg';

const sx = (x) => x.toFixed(4);
const sy = (y) => (-y).toFixed(4);

function svg(tag, attrs, text) {
  const el = document.createElementNS(SVG_NS, tag);
  for (const [k, v] of Object.entries(attrs)) el.setAttribute(k, v);
  if (text !== undefined) el.textContent = text;
  return el;
}

function line(a, b, cls) {
  return svg('line', { x1: sx(a.x), y1: sy(a.y), x2: sx(b.x), y2: sy(b.y), class: cls });
}

function label(p, text, cls, anchor) {
  return svg('text', { x: sx(p.x), y: sy(p.y), class: cls, 'text-anchor': anchor || 'start' }, text);
}

// The joints of a pose in drawing space, from the shoulder pivot to the tip.
function jointsOf(pose) {
  const joints = [model.PIVOT];
  for (const s of model.A.SEGMENTS) {
    const from = joints[joints.length - 1];
    joints.push({ x: from.x + pose[s.name].x, y: from.y + pose[s.name].y });
  }
  return joints;
}
const points = (joints) => joints.map((p) => `${sx(p.x)},${sy(p.y)}`).join(' ');

// The tip heights that the guards allow, drawn across the whole plane.
function heightBand(g) {
  const { A, PIVOT } = model;
  const L = A.LIMITS;
  const at = (h) => PIVOT.y + h;
  const width = VIEW.right - VIEW.left;
  g.append(svg('rect', { x: VIEW.left, y: sy(at(L.tipAbove)), width, height: L.tipAbove - L.tipBelow, class: 'band' }));
  g.append(
    svg('rect', { x: VIEW.left, y: sy(at(L.tipBelow)), width, height: L.tipBelow - L.tipBelowFar, class: 'band-far' }),
  );
  for (const c of A.TIP_BOUNDS) {
    const h = c.limit;
    const text = `tip ${h > 0 ? '+' : ''}${h}: ${c.letters.join(' ')}`;
    g.append(line({ x: VIEW.left, y: at(h) }, { x: VIEW.right, y: at(h) }, 'band-edge'));
    g.append(label({ x: VIEW.right - 0.3, y: at(h) + (h === L.tipBelowFar ? -1.3 : 0.3) }, text, 'band-label', 'end'));
  }
}

export function drawBackdrop() {
  const { A, PIVOT } = model;
  const g = $('backdrop');
  $('arm-view').setAttribute(
    'viewBox',
    `${VIEW.left} ${-VIEW.top} ${VIEW.right - VIEW.left} ${VIEW.top - VIEW.bottom}`,
  );
  for (let x = -20; x <= 20; x += 5) g.append(line({ x, y: VIEW.bottom }, { x, y: VIEW.top }, 'grid'));
  for (let y = -10; y <= 30; y += 5) g.append(line({ x: VIEW.left, y }, { x: VIEW.right, y }, 'grid'));
  heightBand(g);
  const reach = A.SEGMENTS.reduce((sum, s) => sum + s.length, 0);
  g.append(svg('circle', { cx: sx(PIVOT.x), cy: sy(PIVOT.y), r: reach, class: 'reach' }));
  g.append(line({ x: -3, y: 0 }, { x: 3, y: 0 }, 'floor'));
  g.append(line({ x: 0, y: 0 }, PIVOT, 'segment base'));
  g.append(svg('circle', { cx: sx(PIVOT.x), cy: sy(PIVOT.y), r: 0.45, class: 'joint' }));
}

// At a joint: the previous segment's line carried on (the zero of the
// bend), an arc from it to the next segment, and the bend on its bisector.
function bendMark(at, fromDeg, toDeg, text, within) {
  const g = svg('g', { class: within ? 'bend' : 'bend beyond' });
  const toward = (deg, r) => ({
    x: at.x + r * Math.cos((deg * Math.PI) / 180),
    y: at.y + r * Math.sin((deg * Math.PI) / 180),
  });
  const r = 1.6;
  const a = toward(fromDeg, r);
  const b = toward(toDeg, r);
  const large = Math.abs(toDeg - fromDeg) % 360 > 180 ? 1 : 0;
  const sweep = toDeg > fromDeg ? 0 : 1;
  g.append(line(at, toward(fromDeg, 2.4), 'bend-zero'));
  g.append(svg('path', { d: `M ${sx(a.x)} ${sy(a.y)} A ${r} ${r} 0 ${large} ${sweep} ${sx(b.x)} ${sy(b.y)}` }));
  const spot = toward((fromDeg + toDeg) / 2, 3.2);
  g.append(label({ x: spot.x, y: spot.y - 0.4 }, text, 'bend-label', 'middle'));
  return g;
}

// Each segment's name beside its middle, off the segment's line.
function segmentLabels(g, joints) {
  const n = model.A.SEGMENTS.length;
  model.A.SEGMENTS.forEach((s, i) => {
    const a = joints[i];
    const b = joints[i + 1];
    const len = Math.hypot(b.x - a.x, b.y - a.y) || 1;
    const normal = { x: -(b.y - a.y) / len, y: (b.x - a.x) / len };
    // Away from the neighbouring segment, where the bend's mark is drawn.
    const [p, q] = i + 1 < n ? [joints[i + 1], joints[i + 2]] : [joints[i + 1], joints[i]];
    const side = normal.x * (q.x - p.x) + normal.y * (q.y - p.y) > 0 ? -1.2 : 1.2;
    const mid = { x: (a.x + b.x) / 2 + normal.x * side, y: (a.y + b.y) / 2 + normal.y * side - 0.4 };
    g.append(label(mid, joint(s.counter).name, `segment-label ${s.name}`, 'middle'));
  });
}

export function drawArm(pose, limits) {
  const { A, PIVOT } = model;
  const g = $('arm');
  g.replaceChildren();
  const joints = jointsOf(pose);
  const tip = { x: PIVOT.x + pose.total.x, y: PIVOT.y + pose.total.y };
  g.setAttribute('data-tip', `${pose.total.x},${pose.total.y}`);
  g.append(line(PIVOT, tip, 'resultant'));
  A.SEGMENTS.forEach((s, i) => g.append(line(joints[i], joints[i + 1], `segment ${s.name}`)));
  g.append(svg('polyline', { id: 'arm-path', points: points(joints), class: 'path' }));
  g.append(
    bendMark(
      joints[1],
      pose.shoulder.theta,
      pose.elbow.theta,
      `${limits.elbowBend.value.toFixed(1)}°`,
      limits.elbowBend.within,
    ),
  );
  g.append(
    bendMark(
      joints[2],
      pose.elbow.theta,
      pose.wrist.theta,
      `${limits.wristBend.value.toFixed(1)}°`,
      limits.wristBend.within,
    ),
  );
  joints.slice(1, 3).forEach((p) => g.append(svg('circle', { cx: sx(p.x), cy: sy(p.y), r: 0.4, class: 'joint' })));
  const tipWithin = limits.tipHeight.withinAbove && limits.tipHeight.withinBelow;
  g.append(
    svg('circle', { id: 'tip', cx: sx(tip.x), cy: sy(tip.y), r: 0.55, class: tipWithin ? 'tip' : 'tip beyond' }),
  );
  segmentLabels(g, joints);
  // The tip's point in the picture's top left corner, clear of the arm.
  g.append(
    label(
      { x: VIEW.left + 0.6, y: VIEW.top - 1.8 },
      `tip (${A.formatG(pose.total.x)}, ${A.formatG(pose.total.y)})`,
      'tip-label',
    ),
  );
}

// The pose a moving run is expected at now: dashed, and labelled expected.
export function drawExpected(counters) {
  const g = $('expected');
  g.replaceChildren();
  g.dataset.counters = counters ? counters.join(',') : '';
  if (!counters) return;
  const joints = jointsOf(model.A.poseOf(counters));
  const tip = joints[joints.length - 1];
  g.append(svg('polyline', { points: points(joints), class: 'expected-arm' }));
  g.append(svg('circle', { cx: sx(tip.x), cy: sy(tip.y), r: 0.45, class: 'expected-tip' }));
  // Under the tip, and inside the view near its edges.
  const anchor = tip.x > VIEW.right - 6 ? 'end' : tip.x < VIEW.left + 6 ? 'start' : 'middle';
  g.append(label({ x: tip.x, y: tip.y - 2 }, 'expected now', 'expected-label', anchor));
}

// The pose a preview proposes, and the tip target's crosshair.
export function drawGhost(pose, tip, refused) {
  const { PIVOT } = model;
  const g = $('ghost');
  g.replaceChildren();
  g.setAttribute('class', refused ? 'ghost refused' : 'ghost');
  if (pose) {
    const joints = jointsOf(pose);
    const end = joints[joints.length - 1];
    g.append(svg('polyline', { points: points(joints), class: 'ghost-arm' }));
    g.append(
      svg('circle', {
        id: 'ghost-tip',
        cx: sx(end.x),
        cy: sy(end.y),
        r: 0.45,
        class: 'ghost-tip',
        'data-tip': `${end.x - PIVOT.x},${end.y - PIVOT.y}`,
      }),
    );
  }
  if (tip) {
    const t = { x: PIVOT.x + tip[0], y: PIVOT.y + tip[1] };
    g.append(line({ x: t.x - 0.8, y: t.y }, { x: t.x + 0.8, y: t.y }, 'target-mark'));
    g.append(line({ x: t.x, y: t.y - 0.8 }, { x: t.x, y: t.y + 0.8 }, 'target-mark'));
  }
}

export function drawOverlay(words, picture) {
  const g = $('overlay');
  g.replaceChildren();
  if (!words) return;
  const centre = { x: (VIEW.left + VIEW.right) / 2, y: (VIEW.bottom + VIEW.top) / 2 };
  g.append(label(centre, words[0], `overlay-title ${picture}`, 'middle'));
  g.append(label({ x: centre.x, y: centre.y - 3 }, words[1], 'overlay-sub', 'middle'));
}

export function clearArm() {
  $('arm').replaceChildren();
}

// A point of the picture in the arm's plane coordinates: the SVG's own
// screen transform takes it to drawing space (y down, as `sy` draws), whose
// origin is the foot of the base under the shoulder pivot.
export function armPointAt(event) {
  const m = $('arm-view').getScreenCTM();
  if (!m) return null;
  const u = new DOMPoint(event.clientX, event.clientY).matrixTransform(m.inverse());
  return { x: u.x - model.PIVOT.x, y: -u.y - model.PIVOT.y };
}

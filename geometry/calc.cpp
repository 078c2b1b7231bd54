// Forward kinematics of the arm and its five-line report.
#include <array>
#include <cmath>
#include <initializer_list>

#include "geometry/segment.hpp"
#include "state/counters.hpp"

namespace armctl {

segment base{}, shoulder{}, elbow{}, wrist{}, total{};

namespace {

segment arm_segment(double length, std::int64_t count, double degrees_per_count) {
  segment s{length, static_cast<double>(count) * degrees_per_count, 0, 0};
  rect(s.r, s.theta, s.x, s.y);
  return s;
}

}  // namespace

void rect(double r, double theta, double& x, double& y) {
  x = std::cos(theta * pi / 180) * r;
  y = std::sin(theta * pi / 180) * r;
}

void polar(double x, double y, double& r, double& theta) {
  r = std::sqrt(x * x + y * y);
  theta = std::atan(y / x) * degrees_per_radian;
}

pose pose_at(std::int64_t shoulder_count, std::int64_t elbow_count, std::int64_t wrist_count) {
  pose p{};
  p.base = {base_length, 0, 0, base_length};
  p.shoulder = arm_segment(shoulder_length, shoulder_count, shoulder_degrees_per_count);
  p.elbow = arm_segment(elbow_length, elbow_count, elbow_degrees_per_count);
  p.wrist = arm_segment(wrist_length, wrist_count, wrist_degrees_per_count);
  p.total.x = p.wrist.x + p.elbow.x + p.shoulder.x;
  p.total.y = p.wrist.y + p.elbow.y + p.shoulder.y;
  polar(p.total.x, p.total.y, p.total.r, p.total.theta);
  return p;
}

void print_segment(std::FILE* out, const segment& s) {
  std::fprintf(out, "%lg,%lg,%lg,%lg\n", s.x, s.y, s.r, s.theta);
}

pose pose_with(const counters& c, std::size_t index, std::int64_t value) {
  std::array<std::int64_t, joint_count> v{};
  for (std::size_t i = 0; i < joint_count; ++i) v[i] = c[i];
  v[index] = value;
  return pose_at(v[4], v[1], v[2]);
}

void report(const pose& p) {
  base = p.base;
  shoulder = p.shoulder;
  elbow = p.elbow;
  wrist = p.wrist;
  total = p.total;
  for (const segment* s : {&base, &shoulder, &elbow, &wrist, &total}) print_segment(stdout, *s);
}

void calc() { report(pose_at(data[4], data[1], data[2])); }

}  // namespace armctl

// Forward kinematics of the arm and the text of its report lines.
#include "model/pose.hpp"

#include <cmath>
#include <cstdio>

namespace armctl {
namespace {

segment arm_segment(std::size_t index, std::int64_t count) {
  const joint& j = joints[index];
  segment s{j.length, static_cast<double>(count) * j.degrees_per_count, 0, 0};
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

pose calc_with(const counters& c, std::size_t index, std::int64_t value) {
  const auto count = [&](std::size_t i) { return i == index ? value : std::int64_t{c[i]}; };
  pose p{};
  p.base = {base_length, 0, 0, base_length};
  p.shoulder = arm_segment(shoulder_joint, count(shoulder_joint));
  p.elbow = arm_segment(elbow_joint, count(elbow_joint));
  p.wrist = arm_segment(wrist_joint, count(wrist_joint));
  // Summed wrist first: the order shows in the last bit.
  p.total.x = p.wrist.x + p.elbow.x + p.shoulder.x;
  p.total.y = p.wrist.y + p.elbow.y + p.shoulder.y;
  polar(p.total.x, p.total.y, p.total.r, p.total.theta);
  return p;
}

pose calc(const counters& c) { return calc_with(c, shoulder_joint, c[shoulder_joint]); }

std::string report_line(const segment& s) {
  char line[128];
  const int n = std::snprintf(line, sizeof line, "%lg,%lg,%lg,%lg", s.x, s.y, s.r, s.theta);
  return std::string(line, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace armctl

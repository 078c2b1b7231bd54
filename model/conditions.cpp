// Judging a pose against one condition.
#include "model/conditions.hpp"

#include <cstdio>

namespace armctl {

const char* quantity_name(quantity q) {
  switch (q) {
    case quantity::tip_height:
      return "tip height";
    case quantity::shoulder_angle:
      return "shoulder angle";
    case quantity::elbow_bend:
      return "elbow bend";
    case quantity::wrist_bend:
      return "wrist bend";
  }
  return "";
}

std::string rule_text(const condition& c) {
  char text[32];
  std::snprintf(text, sizeof text, "%s %g", c.how == comparison::below ? "<" : ">", c.limit);
  return text;
}

double value_of(quantity q, const pose& p) {
  switch (q) {
    case quantity::tip_height:
      return p.total.y;
    case quantity::shoulder_angle:
      return p.shoulder.theta;
    case quantity::elbow_bend:
      return p.elbow.theta - p.shoulder.theta;
    case quantity::wrist_bend:
      return p.wrist.theta - p.elbow.theta;
  }
  return 0;
}

namespace {

// The sign of the exact a - b - limit.
int compare_difference(double a, double b, double limit) {
  const double s = a - b;
  // Rounding is monotonic and `limit` is a double, so the rounded difference
  // lies on the same side of it as the exact one unless it equals it.
  if (s != limit) return s < limit ? -1 : 1;
  // Knuth's two-sum: a - b == s + err exactly.
  const double b_virtual = s - a;
  const double err = (a - (s - b_virtual)) + (-b - b_virtual);
  return err < 0 ? -1 : err > 0 ? 1 : 0;
}

// The sign of the exact value of the quantity less the limit.
int compare(const condition& c, const pose& p) {
  switch (c.what) {
    case quantity::elbow_bend:
      return compare_difference(p.elbow.theta, p.shoulder.theta, c.limit);
    case quantity::wrist_bend:
      return compare_difference(p.wrist.theta, p.elbow.theta, c.limit);
    default: {
      const double v = value_of(c.what, p);
      return v < c.limit ? -1 : v > c.limit ? 1 : 0;
    }
  }
}

}  // namespace

bool difference_below(double a, double b, double limit) {
  return compare_difference(a, b, limit) < 0;
}

bool holds(const condition& c, const pose& p) {
  const int side = compare(c, p);
  return c.how == comparison::below ? side < 0 : side > 0;
}

}  // namespace armctl

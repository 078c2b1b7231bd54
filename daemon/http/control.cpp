// The drive: who may move the arm now, the ask to take over and its
// answer, and the release of a driver whose page went away.
#include "daemon/http/control.hpp"

#include <algorithm>
#include <variant>

#include "daemon/stores/latch.hpp"

namespace armctl::front {
namespace {

using json = nlohmann::json;

template <typename Q>
bool is(const query& q) {
  return std::holds_alternative<Q>(q);
}
bool applied_import(const query& q) {
  const auto* i = std::get_if<import_query>(&q);
  return i != nullptr && i->apply;
}

// The requests that move the arm, change where it is thought to be, or let
// it move again after a STOP: the driver's alone. STOP stays everyone's, and
// so does the release of a dead run's lock, which moves nothing.
struct held_kind {
  const char* name;
  bool (*is)(const query&);
};
constexpr held_kind held_kinds[] = {
    {"options", is<move_query>},        {"goto", is<goto_query>},   {"back", is<back_query>},
    {"reference", is<reference_query>}, {"import", applied_import}, {"clear", is<clear_query>},
    {"play", is<play_query>},           {"jog", is<jog_query>},
};

json answer(const std::optional<std::string>& driver) {
  return {{"control", driver ? json{{"driver", *driver}} : json(nullptr)}};
}

}  // namespace

const char* held_by_drive(const query& q) {
  for (const held_kind& k : held_kinds)
    if (k.is(q)) return k.name;
  return nullptr;
}

json drive::driver_error(const std::string& why) const {
  json body{{"error", why}, {"driver", driver_ ? json(*driver_) : json(nullptr)}};
  if (asked_by_) body["asked_by"] = *asked_by_;
  return body;
}

control_answer drive::apply(const control_query& q, const std::string& user,
                            const std::vector<std::string>& instructors, clock::time_point now) {
  const std::lock_guard<std::mutex> hold(m_);
  expire_locked(now);
  const bool driving = driver_ == user;
  switch (q.action) {
    case control_action::take:
      return take(q, user,
                  std::find(instructors.begin(), instructors.end(), user) != instructors.end(),
                  now);
    case control_action::release:
      if (!driving) return {control_outcome::refused, driver_error("you do not drive the arm")};
      driver_.reset();
      asked_by_.reset();
      return {control_outcome::done, answer(driver_)};
    case control_action::give:
      if (!driving || asked_by_ != q.name)
        return {control_outcome::refused, driver_error(q.name + " has not asked to drive")};
      driver_ = q.name;
      driver_seen_ = now;
      asked_by_.reset();
      return {control_outcome::done, answer(driver_)};
    case control_action::refuse:
      if (!driving || !asked_by_)
        return {control_outcome::refused, driver_error("nobody asks you to hand over")};
      asked_by_.reset();
      return {control_outcome::done, answer(driver_)};
  }
  return {control_outcome::refused, driver_error("unknown control request")};
}

// Taking a free arm needs no "from"; taking over must name the driver, so
// that nobody takes over from someone they did not see drive.
control_answer drive::take(const control_query& q, const std::string& user, bool instructor,
                           clock::time_point now) {
  if (driver_ == user || (!driver_ && q.name.empty())) {
    driver_ = user;
    driver_seen_ = now;
    return {control_outcome::done, answer(driver_)};
  }
  if (!driver_ || q.name != *driver_)
    return {control_outcome::refused,
            driver_error(driver_ ? *driver_ + " drives the arm: take over names them"
                                 : "nobody drives the arm")};
  if (instructor) {
    driver_ = user;
    driver_seen_ = now;
    asked_by_.reset();
    return {control_outcome::done, answer(driver_)};
  }
  if (asked_by_ && *asked_by_ != user)
    return {control_outcome::refused, driver_error(*asked_by_ + " has asked already")};
  if (!asked_by_) {
    asked_by_ = user;
    asked_at_ = now;
    asked_at_utc_ = utc_now();
  }
  json body = answer(driver_);
  body["asked"] = true;
  return {control_outcome::asked, body};
}

std::optional<std::string> drive::held_from(const std::string& user, clock::time_point now) {
  const std::lock_guard<std::mutex> hold(m_);
  expire_locked(now);
  if (driver_ && *driver_ != user) return driver_;
  return std::nullopt;
}

json drive::view(const std::string& user, clock::time_point now) {
  const std::lock_guard<std::mutex> hold(m_);
  expire_locked(now);
  if (!driver_) return nullptr;
  if (user.empty()) return {{"driven", true}};
  json v{{"driver", *driver_}};
  if (asked_by_) {
    v["asked_by"] = *asked_by_;
    v["asked_at"] = asked_at_utc_;
  }
  return v;
}

void drive::seen(const std::string& user, clock::time_point now) {
  const std::lock_guard<std::mutex> hold(m_);
  if (driver_ == user) driver_seen_ = now;
}

bool drive::drives(const std::string& user) {
  const std::lock_guard<std::mutex> hold(m_);
  return driver_ == user;
}

void drive::stream_opened(const std::string& user) {
  const std::lock_guard<std::mutex> hold(m_);
  ++streams_[user];
}

// The page was there until its stream closed: the wait counts from then.
void drive::stream_closed(const std::string& user, clock::time_point now) {
  const std::lock_guard<std::mutex> hold(m_);
  if (auto s = streams_.find(user); s != streams_.end() && --s->second == 0) streams_.erase(s);
  if (driver_ == user) driver_seen_ = std::max(driver_seen_, now);
}

bool drive::expire(clock::time_point now) {
  const std::lock_guard<std::mutex> hold(m_);
  return expire_locked(now);
}

bool drive::expire_locked(clock::time_point now) {
  bool changed = false;
  if (asked_by_ && now - asked_at_ >= ask_unanswered_after) {
    asked_by_.reset();
    changed = true;
  }
  if (driver_ && !streams_.contains(*driver_) && now - driver_seen_ >= driver_gone_after) {
    driver_.reset();
    asked_by_.reset();
    changed = true;
  }
  return changed;
}

}  // namespace armctl::front

// Planning a move to target counters by trying the orders of its letters.
#include "model/plan.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>

namespace armctl {
namespace {

constexpr std::int64_t longest_count = std::numeric_limits<std::int32_t>::max();

const command& letter_for(std::size_t counter, int sign) {
  for (const command& c : commands)
    if (c.kind != command_kind::report && c.counter == counter && c.sign == sign) return c;
  return commands.back();  // never reached: every counter has both letters
}

// A move and, when its count fits no option, the breach that says so.
struct candidate {
  planned_move move;
  std::int32_t target;
  std::optional<breach> too_long;
};

std::vector<candidate> candidates(const counters& start, const counters& target) {
  std::vector<candidate> out;
  for (std::size_t i = 0; i < joint_count; ++i) {
    const std::int64_t d = std::int64_t{target[i]} - start[i];
    if (d == 0) continue;
    const command& c = letter_for(i, d > 0 ? forward : backward);
    const std::int64_t n = d > 0 ? d : -d;
    candidate k{
        {&c, static_cast<std::int32_t>(std::min(n, longest_count))}, target[i], std::nullopt};
    if (n > longest_count)
      k.too_long = breach{breach_kind::int32_range,           nullptr,   static_cast<double>(n),
                          static_cast<double>(longest_count), target[i], false};
    out.push_back(k);
  }
  return out;
}

// The verdicts of each move from each set of moves already made, kept by
// the part of that set a verdict can depend on: a position letter is judged
// on its own counter alone, a geometry letter on the pose, which only the
// moves of the pose's counters change. So the same sweep of the way is made
// once, whatever else was moved before it.
class verdicts {
 public:
  verdicts(const counters& start, const std::vector<candidate>& moves)
      : start_(start), moves_(moves), known_((std::size_t{1} << moves.size()) * moves.size()) {
    for (std::size_t k = 0; k < moves.size(); ++k)
      if (joints[moves[k].move.letter->counter].segment != nullptr) pose_moves_ |= 1u << k;
  }

  const std::optional<breach>& of(unsigned done, std::size_t k) {
    const bool on_the_pose = moves_[k].move.letter->kind == command_kind::geometry;
    const unsigned key = on_the_pose ? done & pose_moves_ : 0;
    entry& e = known_[std::size_t{key} * moves_.size() + k];
    if (!e.judged) {
      e.why = moves_[k].too_long
                  ? moves_[k].too_long
                  : judge(at(key), *moves_[k].move.letter, moves_[k].move.count).refusal;
      e.judged = true;
    }
    return e.why;
  }

 private:
  counters at(unsigned done) const {
    counters c = start_;
    for (std::size_t k = 0; k < moves_.size(); ++k)
      if (done & (1u << k)) c[moves_[k].move.letter->counter] = moves_[k].target;
    return c;
  }
  struct entry {
    bool judged = false;
    std::optional<breach> why;
  };
  counters start_;
  const std::vector<candidate>& moves_;
  std::vector<entry> known_;
  unsigned pose_moves_ = 0;  // the moves of counters that enter the pose
};

std::string letters_of(const std::vector<candidate>& moves, const std::vector<std::size_t>& order) {
  std::string s;
  for (const std::size_t k : order) s += moves[k].move.letter->letter;
  return s;
}

// The place of the first refused move in the order, or the order's size.
std::size_t first_refused(verdicts& v, const std::vector<std::size_t>& order, breach* why) {
  unsigned done = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (const auto& b = v.of(done, order[i])) {
      *why = *b;
      return i;
    }
    done |= 1u << order[i];
  }
  return order.size();
}

void note_wrist_lag(plan& p) {
  for (const planned_move& m : p.moves)
    if (m.letter->how.wrist && m.count % wrist_chunk != 0)
      p.wrist_lag.push_back({m.letter, m.count % wrist_chunk});
}

}  // namespace

plan plan_moves(const counters& start, const counters& target) {
  plan p;
  p.start = start;
  p.target = target;
  const std::vector<candidate> moves = candidates(start, target);
  verdicts v(start, moves);
  std::vector<std::size_t> order(moves.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  do {
    breach why{};
    const std::size_t refused = first_refused(v, order, &why);
    if (refused == order.size()) {
      p.allowed = true;
      p.refusals.clear();
      for (const std::size_t k : order) p.moves.push_back(moves[k].move);
      note_wrist_lag(p);
      return p;
    }
    p.refusals.push_back({letters_of(moves, order), refused, why});
  } while (std::next_permutation(order.begin(), order.end()));
  return p;
}

std::vector<planned_move> moves_between(const counters& start, const counters& target) {
  std::vector<planned_move> out;
  for (const candidate& k : candidates(start, target)) out.push_back(k.move);
  return out;
}

std::vector<std::string> option_words(const std::vector<planned_move>& moves) {
  std::vector<std::string> words;
  for (const planned_move& m : moves) {
    words.push_back(std::string{'-', m.letter->letter});
    words.push_back(std::to_string(m.count));
  }
  return words;
}

}  // namespace armctl

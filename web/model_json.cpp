// armctl-model-json: writes the arm model's tables as the page's
// arm-model.json, so that the page judges with the controller's own joints,
// letters, conditions, limits and statuses, and checks its requests by the
// front end's own limits. Run by the build.
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "model/commands.hpp"
#include "model/conditions.hpp"
#include "model/joint_words.hpp"
#include "model/reach.hpp"
#include "model/request_limits.hpp"
#include "model/status.hpp"

namespace {

using json = nlohmann::ordered_json;
using namespace armctl;

// Each joint with its counter, its name and the words of its directions,
// besides the model's own figures.
json joint_json(std::size_t counter) {
  const joint& j = joints[counter];
  const joint_words w = words_of(counter, default_joint_name(counter));
  return {{"counter", counter},
          {"name", w.name},
          {"plus", w.plus},
          {"minus", w.minus},
          {"letters",
           {{"plus", std::string(1, w.plus_letter)}, {"minus", std::string(1, w.minus_letter)}}},
          {"grow", std::string(1, j.grow)},
          {"shrink", std::string(1, j.shrink)},
          {"motors", j.motors},
          {"segment", j.segment != nullptr ? json(j.segment) : json(nullptr)},
          {"degrees_per_count", j.degrees_per_count},
          {"length", j.length}};
}

json joints_json() {
  json out = json::array();
  for (std::size_t i = 0; i < joints.size(); ++i) out.push_back(joint_json(i));
  return out;
}

const char* kind_name(command_kind k) {
  return k == command_kind::position   ? "position"
         : k == command_kind::geometry ? "geometry"
                                       : "report";
}

json command_json(const command& c) {
  return {{"letter", std::string(1, c.letter)},
          {"kind", kind_name(c.kind)},
          {"counter", c.counter},
          {"sign", c.sign},
          {"limit", c.limit},
          {"wrist", c.how.wrist},
          {"motor_or_mode", c.how.motor_or_mode},
          {"direction", c.how.direction}};
}

json condition_json(const condition& c) {
  return {{"name", c.name},
          {"quantity", quantity_name(c.what)},
          {"comparison", c.how == comparison::below ? "<" : ">"},
          {"limit", c.limit},
          {"letters", std::string(c.letters)},
          {"on_the_way", checked_on_the_way(c)}};
}

template <typename Table, typename Row>
json array_of(const Table& table, Row row) {
  json out = json::array();
  for (const auto& r : table) out.push_back(row(r));
  return out;
}

json model_json() {
  return {{"pi", pi},
          {"degrees_per_radian", degrees_per_radian},
          {"base_length", base_length},
          {"chain", chain},
          {"wrist_chunk", wrist_chunk},
          {"tip_tolerance", tip_tolerance},
          {"joints", joints_json()},
          {"commands", array_of(commands, command_json)},
          {"conditions", array_of(conditions, condition_json)},
          {"requests",
           {{"max_count", max_request_count},
            {"max_name_length", max_name_length},
            {"max_sequence_steps", max_sequence_steps},
            {"max_pause_ms", max_pause_ms},
            {"max_repeat", max_repeat}}},
          {"statuses", array_of(statuses, [](const status_meaning& s) {
             return json{{"code", s.code}, {"name", s.name}, {"meaning", s.meaning}};
           })}};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: armctl-model-json <arm-model.json>\n";
    return 2;
  }
  std::ofstream out(argv[1], std::ios::trunc);
  out << model_json().dump(1) << '\n';
  out.close();
  return out ? 0 : 1;
}

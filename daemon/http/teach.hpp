// The handlers of the teach requests: the views, the poses and sequences,
// the plans and go-tos, back, and the re-reference.
#pragma once

#include "daemon/http/handler.hpp"
#include "daemon/stores/taught.hpp"

namespace armctl::front {

reply answer_view(const state_query& q, const context& c);
reply answer_reference(const reference_query& q, const context& c);
reply answer_save_pose(const save_pose_query& q, const context& c);
reply answer_delete_pose(const delete_pose_query& q, const context& c);
reply answer_plan(const plan_query& q, const context& c);
reply answer_goto(const goto_query& q, const context& c);
reply answer_back(const back_query& q, const context& c);
reply answer_save_sequence(const save_sequence_query& q, const context& c);
reply answer_delete_sequence(const delete_sequence_query& q, const context& c);
// The answer of an edit of the poses file: `body` when it was done, else
// the outcome's status and error.
reply edit_reply(edit_outcome o, json body);

}  // namespace armctl::front

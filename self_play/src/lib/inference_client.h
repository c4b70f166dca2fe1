#pragma once
// The exchange with the inference server through the two Python objects the
// caller handed in: put((id, planes)) on the queue, then recv() on the pipe.
// One request is in flight at a time; the reply is read before the next
// request is sent.
#include <Python.h>

#include <string>

#include "evaluate.h"
#include "py_ref.h"

namespace velmar::self_play {

// The Python exception behind an evaluation error.
struct PyErrorOrigin : ErrorOrigin {
  explicit PyErrorOrigin(pyutil::PyErrorState s) : state(std::move(s)) {}
  pyutil::PyErrorState state;
};

// "PyErr { type: <repr of type>, value: <repr of value>, traceback: None | Some(<repr>) }"
std::string debug_text(const pyutil::PyErrorState& error);

// Takes the exception currently set as an evaluation error.
EvalError fetch_eval_error();

class InferenceClient : public Evaluator {
 public:
  // `inference_queue` and `pipe` are borrowed for the life of the client.
  // Throws std::bad_alloc when the cached objects cannot be created.
  InferenceClient(PyObject* inference_queue, PyObject* pipe, int32_t id);
  std::optional<EvalError> exchange(const Representation& repr, Reply& reply) override;

 private:
  bool send(const Representation& repr);
  bool reusable_planes() const;
  bool build_planes(const Representation& repr);
  bool receive(Reply& reply);

  PyObject* queue_;
  PyObject* pipe_;
  pyutil::PyRef id_, zero_, one_, index0_, index1_, put_name_, recv_name_;
  pyutil::PyRef zero_list_;  // [0.0]
  pyutil::PyRef planes_;     // the planes of the last request
};

// Reply members are read no further than this: one more than the largest
// policy, so that a longer one is still seen to be too long.
inline constexpr std::size_t kMaxReplyItems = kNumCells + 1;

// Converts the first `limit` items of a sequence of numbers (not a string) to
// single-precision floats; items past them are not read. Returns false with a
// Python exception set.
bool extract_floats(PyObject* seq, std::vector<float>& out, std::size_t limit);

}  // namespace velmar::self_play

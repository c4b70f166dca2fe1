#pragma once
// The one exception type for broken invariants. Nothing in the rules library
// or the self-play engine ends the process on a broken invariant: it throws
// this, and the Python module turns it into PanicException.
#include <stdexcept>
#include <string>

#include "contract_texts.h"

namespace velmar {

class InvariantError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& message) {
  throw InvariantError(message);
}

// The text used for every out-of-range index.
[[noreturn]] inline void fail_index(unsigned long long len, unsigned long long index) {
  std::string text(kIndexOutOfBoundsLen);
  text += std::to_string(len);
  text += kIndexOutOfBoundsIndex;
  text += std::to_string(index);
  fail(text);
}

}  // namespace velmar

#pragma once
// A progress bar on standard error. On a terminal it redraws in place at most
// about ten times a second; otherwise only the finished bar is written, once.
#include <chrono>
#include <cstdint>
#include <string>

#include "console.h"

namespace velmar::self_play {

class ProgressBar {
 public:
  ProgressBar(Console& console, uint32_t length);
  void advance(uint32_t by = 1);
  // Draws the bar at its full length and leaves it on the terminal.
  void finish();
  uint32_t position() const { return position_; }
  // The bar's text at a position, e.g. "[=====>      ] 12/400".
  static std::string render(uint32_t position, uint32_t length);

 private:
  Console& console_;
  uint32_t length_;
  uint32_t position_ = 0;
  bool terminal_;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace velmar::self_play

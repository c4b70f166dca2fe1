#pragma once
// Where the game loop writes: summary and error lines to standard output,
// the progress bar to standard error.
#include <cstdint>
#include <string>
#include <string_view>

namespace velmar::self_play {

class Console {
 public:
  virtual ~Console() = default;
  // Writes one line to standard output; the newline is added.
  virtual void write_line(std::string_view line) = 0;
  // Writes text as it is to standard error.
  virtual void write_error(std::string_view text) = 0;
  virtual bool error_is_terminal() = 0;
};

// A console that keeps what is written, for tests and for callers without a terminal.
class MemoryConsole : public Console {
 public:
  std::string out, err;
  bool terminal = false;
  void write_line(std::string_view line) override {
    out.append(line);
    out.push_back('\n');
  }
  void write_error(std::string_view text) override { err.append(text); }
  bool error_is_terminal() override { return terminal; }
};

}  // namespace velmar::self_play

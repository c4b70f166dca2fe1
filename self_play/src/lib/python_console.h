#pragma once
// The console through Python's sys.stdout and sys.stderr, so notebooks,
// redirect_stdout and test capture see what the module writes. Failures to
// write are ignored: output never ends a game.
#include "console.h"

namespace velmar::self_play {

class PythonConsole : public Console {
 public:
  void write_line(std::string_view line) override;
  void write_error(std::string_view text) override;
  bool error_is_terminal() override;
};

}  // namespace velmar::self_play

#include "progress_bar.h"

namespace velmar::self_play {

namespace {
constexpr uint32_t kWidth = 40;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
}  // namespace

ProgressBar::ProgressBar(Console& console, uint32_t length)
    : console_(console), length_(length), terminal_(console.error_is_terminal()) {}

std::string ProgressBar::render(uint32_t position, uint32_t length) {
  const uint32_t filled =
      length == 0 ? kWidth
                  : static_cast<uint32_t>(uint64_t{std::min(position, length)} * kWidth / length);
  std::string text = "[";
  text.append(filled, '=');
  if (filled < kWidth) {
    text.push_back('>');
    text.append(kWidth - filled - 1, ' ');
  }
  text.append("] ").append(std::to_string(position)).append("/").append(std::to_string(length));
  return text;
}

void ProgressBar::advance(uint32_t by) {
  position_ += by;
  if (!terminal_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  std::string text = "\r";
  text.append(render(position_, length_));
  console_.write_error(text);
}

void ProgressBar::finish() {
  position_ = length_;
  std::string text = terminal_ ? "\r" : "";
  text.append(render(position_, length_));
  text.push_back('\n');
  console_.write_error(text);
}

}  // namespace velmar::self_play

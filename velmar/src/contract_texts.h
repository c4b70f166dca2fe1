#pragma once
// Fixed texts of the rules library that callers outside it depend on: the
// Python module raises them as they are, and its users (servers, scripts,
// tests) match them. They are part of the library's contract: change one
// only together with everyone who reads it.
#include <string_view>

namespace velmar {

// Game::apply's refusals, raised as ValueError(<text>) by velmar.rules.
inline constexpr std::string_view kNoCurrentPlayer = "No current player";
inline constexpr std::string_view kInvalidMove = "Invalid move";

// Every out-of-range index (fail_index):
// "index out of bounds: the len is <len> but the index is <index>".
inline constexpr std::string_view kIndexOutOfBoundsLen = "index out of bounds: the len is ";
inline constexpr std::string_view kIndexOutOfBoundsIndex = " but the index is ";

}  // namespace velmar

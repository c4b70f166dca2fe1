#pragma once
// Fixed texts of the self-play module that callers outside it depend on:
// servers and scripts match its exceptions and console lines, and its tests
// spell them out. They are part of the module's contract: change one only
// together with everyone who reads it. The rules library's own texts (the
// refusals and the index-out-of-bounds text) are in velmar's contract_texts.h.
#include <string_view>

#include "contract_texts.h"

namespace velmar::self_play {

// The message of an aborted call, raised as PanicException:
// "called `Result::unwrap()` on an `Err` value: <what>".
inline constexpr std::string_view kUnwrapPrefix = "called `Result::unwrap()` on an `Err` value: ";
// The <what> of a Dirichlet alpha that is not above zero.
inline constexpr std::string_view kAlphaTooSmall = "AlphaTooSmall";
// The exception type of an aborted call, as Python names it.
inline constexpr std::string_view kPanicExceptionName = "velmar_self_play.PanicException";
// The TypeError of a config attribute that cannot be read, followed by the
// attribute's name: "failed to extract field Config.<name>".
inline constexpr std::string_view kConfigFieldError = "failed to extract field Config.";

// A Python exception in the module's debug form:
// "PyErr { type: <repr>, value: <repr>, traceback: None | Some(<repr>) }".
inline constexpr std::string_view kPyErrType = "PyErr { type: ";
inline constexpr std::string_view kPyErrValue = ", value: ";
inline constexpr std::string_view kPyErrTraceback = ", traceback: ";
inline constexpr std::string_view kPyErrNoTraceback = "None";
inline constexpr std::string_view kPyErrSomeOpen = "Some(";
inline constexpr std::string_view kPyErrSomeClose = ")";
inline constexpr std::string_view kPyErrEnd = " }";

// A failed root evaluation writes "Error evaluating root node: <PyErr>" and
// "Error running MCTS: <PyErr>" to stdout, then raises
// Exception('"Error running MCTS"') with the server's exception as cause.
inline constexpr std::string_view kRootEvalError = "Error evaluating root node: ";
inline constexpr std::string_view kMctsError = "Error running MCTS";

// The line written when a game ends:
// "Game finished with payoff: [<p0>, ...] and score: [<s0>, ...]".
inline constexpr std::string_view kSummaryPayoff = "Game finished with payoff: [";
inline constexpr std::string_view kSummaryScore = "] and score: [";

}  // namespace velmar::self_play

#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/session.h"

// The exit status of a script or one-shot statement ended by Ctrl-C.
constexpr int kInterruptedStatus = 130;

// Runs one statement line: 0 on success, 1 on failure, kInterruptedStatus when Ctrl-C stopped it
// (after one warning line saying what was interrupted).
int run_statement(rest_client::Session& session, std::string line);
// Runs prompted statements until an exit word or end of input; returns the exit status.
// `address_chosen`: the service's address came from a flag or a variable; the welcome names it.
int run_interactive(rest_client::Session& session, bool address_chosen);
// With --output json: the one record of a run whose start-up checks failed (a refused key or
// client version, a service that cannot be reached), with the first error line.
void write_startup_failure(rest_client::Session& session, const std::optional<std::string>& error);
// Answers --help (usage) or --version; returns the exit status.
int print_flag_answer(const std::string& flag, const rest_client::Endpoints& endpoints);
// Joins the arguments into one statement and runs it; its status as run_statement gives it.
int run_one_shot(rest_client::Session& session, const std::vector<std::string>& arguments);

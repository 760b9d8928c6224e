#pragma once

#include <string>
#include <vector>

// Runs prompted statements until an exit word or end of input; returns the exit status.
int run_interactive();
// Answers --help (usage) or --version; returns the exit status.
int print_flag_answer(const std::string& flag);
// Joins the arguments into one statement and runs it; 0 on success, 1 on failure.
int run_one_shot(const std::vector<std::string>& arguments);

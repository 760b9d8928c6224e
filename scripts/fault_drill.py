#!/usr/bin/env python3
"""Makes one-line faults in the client by hand, one at a time, and lists the tests that fail
for each: a check that the suite catches the faults it is meant to catch.

    scripts/fault_drill.py BUILD_DIR [NUMBER...]

BUILD_DIR is a configured build of this tree. Each fault is applied, the build is brought up
to date, the client's unit tests and corpus replays run; only when none of them fails do the
tests of the real program (fake service, pseudo-terminal, Orvix Local) run. Then the fault is
undone.
"""
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# (where, what is there, what the fault puts there, what kind of fault)
FAULTS = [
    ("client/request.cpp", "if (response.status == 200) return true;",
     "if (response.status == 201) return true;", "wrong status test"),
    ("upload/id_feed.h", "return data_size + ids.size() >= output.shard_size();",
     "return data_size + ids.size() > output.shard_size();", "off-by-one in the shard threshold"),
    ("commands/vector_search.cpp", 'body["top_k"] = std::stoi(*top_k);',
     'body["topk"] = std::stoi(*top_k);', "swapped member name (search)"),
    ("client/console.cpp", "if ((c < 0x20 && c != '\\n' && c != '\\t') || c == 0x7f) {",
     "if ((c < 0x1b && c != '\\n' && c != '\\t') || c == 0x7f) {", "missing escape (ESC shown raw)"),
    ("client/line_input.cpp", "  if (!stdin_is_terminal()) return read_prompted_line(prompt, true);\n  std::cout << prompt << std::flush;",
     "  if (!stdin_is_terminal()) return read_prompted_line(prompt, true);\n  std::cout << prompt;",
     "lost flush of the key prompt"),
    ("client/rate_limiter.cpp", "if (kWindowMs >= elapsed_ms) break;",
     "if (kWindowMs > elapsed_ms) break;", "off-by-one at the limiter's window edge"),
    ("client/retry_policy.cpp", "status == 502 || status == 503 || status == 504",
     "status == 502 || status == 504", "503 no longer retried"),
    ("client/job_status.cpp", 'if (status == "in_progress") return JobState::kInProgress;',
     'if (status == "inprogress") return JobState::kInProgress;', "job state misread"),
    ("commands/indices.cpp", "if (vector_count > 300000) return 15000;",
     "if (vector_count >= 300000) return 15000;", "off-by-one in the attach poll interval"),
    ("client/request.cpp", "if (!placed && name < member) place();",
     "if (!placed && name > member) place();", "member order of the batch body"),
    ("upload/shard_builder.cpp", 'append_member(body, "file_data", "\\"");',
     'append_member(body, "filedata", "\\"");', "swapped member name (upload)"),
    ("language/vocabulary.cpp", '{"top_k", Token::OPTION, {{"SEARCH", K::kText}}',
     '{"topk", Token::OPTION, {{"SEARCH", K::kText}}', "option spelled wrong in the vocabulary"),
    ("language/option_values.cpp", "[&](const auto& given) { return given.first == &option; })) {",
     "[&](const auto& given) { return given.first == nullptr; })) {", "repeated option accepted"),
    ("language/env_expand.cpp", "return name_start(c) || (c >= '0' && c <= '9');",
     "return name_start(c);", "variable names lose their digits"),
    ("commands/vector_numbers.cpp", "if (!std::isfinite(value)) throw",
     "if (std::isnan(value)) throw", "infinity accepted in a vector"),
    ("client/secrets.cpp", "text.replace(at, length, kHiddenSecret);",
     "text.replace(at, length - 1, kHiddenSecret);", "the key's last byte shown"),
    ("client/login.cpp", 'Identity identity{key, answer.at("user_id").get<std::string>(),',
     'Identity identity{key, answer.at("username").get<std::string>(),', "user id and name swapped"),
    ("upload/shard_transfer.cpp", 'std::string text = "the upload of \'" + file_path_ + "\' after " + std::to_string(jobs_.size()) +',
     'std::string text = "the upload of \'" + file_path_ + "\' after " + std::to_string(jobs_.size() - 1) +',
     "wrong count in the interrupt warning"),
    ("client/line_input.cpp", 'if (answer && (*answer == "y" || *answer == "Y")) return true;',
     'if (answer && (*answer != "n")) return true;', "a deletion confirmed without y"),
    ("commands/datasets.cpp", "if (bytes < candidate.limit) {",
     "if (bytes <= candidate.limit) {", "off-by-one in the size units"),
]

UNIT = ["tests/language_tests", "tests/client_tests"]
REPLAYS = [("tests/fuzz/statement_fuzz", "statements"), ("tests/fuzz/answer_fuzz", "answers")]
PROGRAM = ["tests/process_tests", "tests/local_e2e_tests"]


def gtest_failures(build, program):
    run = subprocess.run([str(build / program)], cwd=build, capture_output=True, text=True)
    failed = sorted(set(re.findall(r"^\[  FAILED  \] (\S+\.\S+)", run.stdout, re.M)))
    return failed or ([Path(program).name + " (exit " + str(run.returncode) + ")"]
                      if run.returncode else [])


def failing_tests(build):
    failed = []
    for program in UNIT:
        failed += gtest_failures(build, program)
    for program, corpus in REPLAYS:
        run = subprocess.run([str(build / program), str(ROOT / "tests/fuzz/corpus" / corpus)],
                             cwd=build, capture_output=True, text=True)
        if run.returncode:
            failed.append(Path(program).name + " corpus replay")
    if not failed:
        for program in PROGRAM:
            failed += gtest_failures(build, program)
    return failed


def main():
    build = Path(sys.argv[1]).resolve()
    chosen = [int(n) for n in sys.argv[2:]] or range(1, len(FAULTS) + 1)
    for number in chosen:
        where, old, new, kind = FAULTS[number - 1]
        path = ROOT / where
        original = path.read_text()
        if original.count(old) != 1:
            print(f"{number:2}. {kind}: the line is not in {where} exactly once", flush=True)
            continue
        try:
            path.write_text(original.replace(old, new))
            made = subprocess.run(["make", "-j2"], cwd=build, capture_output=True, text=True)
            caught = ["(does not build)"] if made.returncode else failing_tests(build)
        finally:
            path.write_text(original)
        print(f"{number:2}. {kind} ({where}): {', '.join(caught) or 'NOT CAUGHT'}", flush=True)
    subprocess.run(["make", "-j2"], cwd=build, capture_output=True)


if __name__ == "__main__":
    main()

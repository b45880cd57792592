// Times whole processes, several commands alternated, and prints each median and the
// first command's ratio to each of the others.
//
// usage: p11agent_bench_process NAME RUNS -- LABEL INPUT PROGRAM [ARGS...] [-- LABEL INPUT PROGRAM [ARGS...]]...
// INPUT is the text written to that program's standard input ("" for none).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace {

struct Command {
  std::string label;
  std::string input;
  std::string program;
  std::vector<std::string> args;
  std::vector<double> times_us;
};

void run_once(Command& command) {
  auto start = std::chrono::steady_clock::now();
  testing_support::run_program(command.program, command.args, command.input);
  command.times_us.push_back(
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The commands between the "--" separators; none when one is shorter than LABEL INPUT PROGRAM.
std::vector<Command> commands_from(std::vector<std::string>::const_iterator word,
                                   std::vector<std::string>::const_iterator end) {
  std::vector<Command> commands;
  while (word != end && *word == "--") {
    auto next = std::find(word + 1, end, "--");
    if (next - word < 4) return {};
    commands.push_back({word[1], word[2], word[3], {word + 4, next}, {}});
    word = next;
  }
  if (word != end) return {};
  return commands;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  std::vector<Command> commands;
  if (words.size() > 2) commands = commands_from(words.begin() + 2, words.end());
  const int runs = words.size() > 1 ? std::atoi(words[1].c_str()) : 0;
  if (commands.size() < 2 || runs < 1) {
    std::fprintf(stderr, "usage: %s NAME RUNS -- LABEL INPUT PROGRAM [ARGS...] -- LABEL INPUT PROGRAM [ARGS...]...\n",
                 argv[0]);
    return 2;
  }
  for (int i = 0; i < runs; ++i)
    for (Command& command : commands) run_once(command);
  std::printf("%s (medians of %d alternated runs)\n", words[0].c_str(), runs);
  const double first = median(commands[0].times_us);
  std::printf("  %-12s %8.0f us\n", commands[0].label.c_str(), first);
  for (std::size_t i = 1; i < commands.size(); ++i) {
    const double other = median(commands[i].times_us);
    std::printf("  %-12s %8.0f us   ratio %s/%s %.3f\n", commands[i].label.c_str(), other, commands[0].label.c_str(),
                commands[i].label.c_str(), first / other);
  }
  return 0;
}

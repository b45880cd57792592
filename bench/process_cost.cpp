// Times whole processes, two commands alternated, and prints both medians and their ratio.
//
// usage: p11agent_bench_process NAME RUNS INPUT_A PROGRAM_A [ARGS...] -- INPUT_B PROGRAM_B [ARGS...]
// INPUT_x is the text written to that program's standard input ("" for none).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace {

struct Command {
  std::string input;
  std::string program;
  std::vector<std::string> args;
};

double run_once_us(const Command& command) {
  auto start = std::chrono::steady_clock::now();
  testing_support::run_program(command.program, command.args, command.input);
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  auto split = std::find(words.begin(), words.end(), "--");
  if (words.size() < 5 || split == words.end() || words.end() - split < 3) {
    std::fprintf(stderr, "usage: %s NAME RUNS INPUT_A PROGRAM_A [ARGS...] -- INPUT_B PROGRAM_B [ARGS...]\n", argv[0]);
    return 2;
  }
  const std::string name = words[0];
  const int runs = std::stoi(words[1]);
  Command a{words[2], words[3], {words.begin() + 4, split}};
  Command b{*(split + 1), *(split + 2), {split + 3, words.end()}};
  std::vector<double> times_a, times_b;
  for (int i = 0; i < runs; ++i) {
    times_a.push_back(run_once_us(a));
    times_b.push_back(run_once_us(b));
  }
  double ma = median(times_a), mb = median(times_b);
  std::printf("%-10s agent %8.0f us   pkcs11-tool %8.0f us   ratio %.3f   (medians of %d alternated runs)\n",
              name.c_str(), ma, mb, ma / mb, runs);
  return 0;
}

// The CPU cost of answering DEFINE without a network: the protocol code of vos-serve asked for every word of a
// list in turn, as a connection would ask it, for a bounded time. Prints answers per second of one thread, the CPU
// time per answer and the bytes answered, so that the server's own share of a round trip is measured apart from
// the kernel's and the client's.
//
// usage: define_bench INDEX DICTIONARY WORDS [SECONDS]
//   WORDS: one word a line, UTF-8, as bench/serve_compare.sh writes it; SECONDS: how long to ask (default 3)
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "serve/dict_protocol.h"

namespace {

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int RealMain(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: define_bench INDEX DICTIONARY WORDS [SECONDS]\n");
    return 2;
  }
  double seconds = argc == 5 ? std::atof(argv[4]) : 3;
  if (!(seconds > 0 && seconds <= 60)) {
    std::fprintf(stderr, "define_bench: SECONDS must lie in (0, 60]\n");
    return 2;
  }
  vos::DatabaseConfig config{"bench", argv[1], argv[2], "", ""};
  std::shared_ptr<const vos::Database> database;
  std::string error;
  // Checked and catalogued, as the server answers once it has started.
  if (!vos::LoadDatabase(config, database, error)) {
    std::fprintf(stderr, "define_bench: %s\n", error.c_str());
    return 1;
  }
  vos::DatabaseSet databases{database};
  std::vector<std::string> commands;
  std::ifstream words(argv[3]);
  for (std::string word; std::getline(words, word);) {
    if (!word.empty()) commands.push_back("DEFINE * \"" + word + "\"");
  }
  if (commands.empty()) {
    std::fprintf(stderr, "define_bench: no words in %s\n", argv[3]);
    return 1;
  }
  vos::EnableBatchReads();  // as the server's threads do
  vos::ServerFacts facts{"localhost", 0, 1, 1};
  vos::Session session;
  int64_t answers = 0, bytes = 0, found = 0;
  double start = CpuSeconds();
  double elapsed = 0;
  // Checked every 256 answers so that reading the clock stays out of the figure.
  while (elapsed < seconds) {
    for (int i = 0; i < 256; ++i) {
      const std::string& command = commands[static_cast<size_t>(answers) % commands.size()];
      vos::Answer answer = vos::AnswerLine(databases, facts, session, command);
      bytes += static_cast<int64_t>(answer.bytes.size());
      found += answer.code == 250 ? 1 : 0;
      ++answers;
    }
    elapsed = CpuSeconds() - start;
  }
  std::printf("define %.0f/s cpu %.2f us/answer bytes %.0f/answer found %.1f%% answers %lld\n", static_cast<double>(answers) / elapsed,
              elapsed * 1e6 / static_cast<double>(answers), static_cast<double>(bytes) / static_cast<double>(answers),
              100.0 * static_cast<double>(found) / static_cast<double>(answers), static_cast<long long>(answers));
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return RealMain(argc, argv); }

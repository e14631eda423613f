// vos-serve: a DICT protocol server for vos indexes. This file reads the command line and the configuration
// file, loads the databases and hands them to the server.
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <toml++/toml.h>
#include <vector>

#include "serve/server.h"

namespace vos {
namespace {

constexpr int kTrouble = 2;
constexpr int64_t kMaxBusyPoll = 100000;  // a tenth of a second: more only burns processor time
// About 30 years; far more would overflow the clock that times the connections, and close each at once.
constexpr int64_t kMaxIdleTimeout = 1'000'000'000;

constexpr std::string_view kHelp =
    "Usage: vos-serve [OPTION]... --db NAME:INDEX:DICTIONARY...\n"
    "Answers dictionary clients over the DICT protocol (RFC 2229) from vos index files.\n"
    "\n"
    "  -d, --db=NAME:INDEX:DICTIONARY  offer a database: its name, its vos index and its dictionary\n"
    "                                  (repeatable; databases are searched in the order given)\n"
    "  -c, --config=FILE               read settings and databases from a TOML file\n"
    "  -l, --listen=HOST:PORT          the address to listen on (default 127.0.0.1:2628); port 0 picks a\n"
    "                                  free port and prints the address chosen\n"
    "      --max-connections=N         connections served at once (default 512); one more gets 420\n"
    "      --idle-timeout=SECONDS      close a connection idle this long (default 300): no command\n"
    "                                  came and the client took no part of an answer\n"
    "      --threads=N                 threads answering (default: cores, at most 4)\n"
    "      --busy-poll=MICROSECONDS    keep polling this long after an answer before sleeping, which\n"
    "                                  halves the wait of a client's next command (default 50; 0: off)\n"
    "  -q, --quiet                     no log lines on standard error\n"
    "  -h, --help                      print this help and exit\n"
    "  -V, --version                   print the version and exit\n"
    "\n"
    "SIGHUP reopens and checks every database; one whose index fails the check keeps the loaded one.\n"
    "SIGTERM and SIGINT tell every client 421 and stop.\n";

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "vos-serve: " << message << "\n";
  std::exit(kTrouble);
}

bool ParseCount(std::string_view text, int64_t minimum, int64_t& value) {
  if (text.empty() || text.size() > 12) return false;
  int64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  if (result < minimum) return false;
  value = result;
  return true;
}

// A database name goes on the wire unquoted, so it is one plain word; "*" and "!" mean all databases.
bool UsableName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '_' || c == '.' || c == '+';
    if (!plain) return false;
  }
  return true;
}

// "HOST:PORT", "[V6]:PORT" or ":PORT".
void ParseListen(std::string_view text, ServerOptions& options) {
  size_t colon = text.rfind(':');
  int64_t port = 0;
  if (colon == std::string_view::npos || !ParseCount(text.substr(colon + 1), 0, port) || port > 65535) {
    Fail("bad --listen address \"" + std::string(text) + "\": expected HOST:PORT");
  }
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  options.host = host.empty() ? "0.0.0.0" : std::string(host);
  options.port = std::to_string(port);
}

// NAME:INDEX:DICTIONARY; the name ends at the first colon and the dictionary starts after the last, so an index
// path may hold colons.
DatabaseConfig ParseDatabase(std::string_view text) {
  size_t first = text.find(':');
  size_t last = text.rfind(':');
  if (first == std::string_view::npos || first == last || first == 0 || first + 1 == last ||
      last + 1 == text.size()) {
    Fail("bad --db \"" + std::string(text) + "\": expected NAME:INDEX:DICTIONARY");
  }
  DatabaseConfig config;
  config.name = text.substr(0, first);
  config.indexPath = text.substr(first + 1, last - first - 1);
  config.dictionaryPath = text.substr(last + 1);
  return config;
}

// The setting `key` of `table`, if it is there. One of another type is an error: left out, it would be ignored
// without a word.
template <typename T>
std::optional<T> Setting(const toml::table& table, std::string_view key, const std::string& where,
                         const char* kind) {
  const toml::node* node = table.get(key);
  if (node == nullptr) return std::nullopt;
  std::optional<T> value = node->value<T>();
  if (!value) Fail(where + ": " + std::string(key) + " must be " + kind);
  return value;
}

void ReadConfig(const std::string& path, ServerOptions& options) {
  // Read here rather than by the TOML library, which needs a file whose size it can ask: a configuration given as
  // `--config <(...)` is a pipe.
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) Fail(path + ": " + std::strerror(errno));
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
  int failure = std::ferror(file) ? errno : 0;
  std::fclose(file);
  if (failure != 0) Fail(path + ": " + std::strerror(failure));
  toml::table table;
  try {
    table = toml::parse(text, path);
  } catch (const toml::parse_error& error) {
    auto where = error.source().begin;
    Fail(path + ":" + std::to_string(where.line) + ":" + std::to_string(where.column) + ": " +
         std::string(error.description()));
  }
  // A misspelt setting would otherwise be ignored without a word.
  for (const auto& [key, value] : table) {
    static const std::vector<std::string_view> kKnown = {"listen", "max-connections", "idle-timeout", "threads",
                                                         "busy-poll", "quiet", "database"};
    if (std::find(kKnown.begin(), kKnown.end(), key.str()) == kKnown.end()) {
      Fail(path + ": unknown setting \"" + std::string(key.str()) + "\"");
    }
  }
  const char* whole = "a whole number";
  if (auto listen = Setting<std::string>(table, "listen", path, "a string")) ParseListen(*listen, options);
  if (auto count = Setting<int64_t>(table, "max-connections", path, whole)) options.maxConnections = *count;
  if (auto seconds = Setting<int64_t>(table, "idle-timeout", path, whole)) options.idleTimeoutSeconds = *seconds;
  if (auto threads = Setting<int64_t>(table, "threads", path, whole)) {
    options.threads = static_cast<int>(std::clamp<int64_t>(*threads, -1, 257));
  }
  if (auto quiet = Setting<bool>(table, "quiet", path, "true or false")) options.quiet = *quiet;
  if (auto busyPoll = Setting<int64_t>(table, "busy-poll", path, whole)) options.busyPollMicroseconds = *busyPoll;
  if (options.maxConnections < 1 || options.idleTimeoutSeconds < 1 || options.threads < 0 ||
      options.threads > 256) {
    Fail(path + ": max-connections, idle-timeout and threads must be positive");
  }
  if (options.idleTimeoutSeconds > kMaxIdleTimeout) {
    Fail(path + ": idle-timeout must be at most " + std::to_string(kMaxIdleTimeout) + " seconds");
  }
  if (options.busyPollMicroseconds < 0 || options.busyPollMicroseconds > kMaxBusyPoll) {
    Fail(path + ": busy-poll must be 0 to " + std::to_string(kMaxBusyPoll) + " microseconds");
  }
  if (!table.contains("database")) return;
  const toml::array* databases = table["database"].as_array();
  if (databases == nullptr) Fail(path + ": write each database as a [[database]] table");
  for (const toml::node& node : *databases) {
    const toml::table* entry = node.as_table();
    if (entry == nullptr) Fail(path + ": every [[database]] must be a table");
    for (const auto& [key, value] : *entry) {
      static const std::vector<std::string_view> kKnown = {"name", "index", "dictionary", "description", "info"};
      if (std::find(kKnown.begin(), kKnown.end(), key.str()) == kKnown.end()) {
        Fail(path + ": unknown database setting \"" + std::string(key.str()) + "\"");
      }
    }
    DatabaseConfig config;
    auto text = [&](std::string_view key) {
      return Setting<std::string>(*entry, key, path + ": [[database]]", "a string").value_or("");
    };
    config.name = text("name");
    config.indexPath = text("index");
    config.dictionaryPath = text("dictionary");
    config.description = text("description");
    config.info = text("info");
    if (config.name.empty() || config.indexPath.empty() || config.dictionaryPath.empty()) {
      Fail(path + ": a [[database]] needs name, index and dictionary");
    }
    // Descriptions and info are written in UTF-8; the databases hold them as their own text, ISO-8859-1.
    for (std::string* text : {&config.description, &config.info}) {
      std::string latin1;
      std::string problem;
      if (Utf8ToLatin1(*text, latin1, problem) != ConvertOutcome::kOk) {
        Fail(path + ": database " + config.name + ": description and info must be ISO-8859-1 text in UTF-8");
      }
      *text = latin1;
    }
    options.databases.push_back(std::move(config));
  }
}

int RealMain(int argc, char** argv) {
  // A reload asked for while the databases are still being opened (a log rotation, say) must not end the server;
  // the server takes SIGHUP over once it runs.
  std::signal(SIGHUP, SIG_IGN);
  enum { kMaxConnections = 256, kIdleTimeout, kThreads, kBusyPoll };
  const option longOptions[] = {
      {"db", required_argument, nullptr, 'd'},
      {"config", required_argument, nullptr, 'c'},
      {"listen", required_argument, nullptr, 'l'},
      {"max-connections", required_argument, nullptr, kMaxConnections},
      {"idle-timeout", required_argument, nullptr, kIdleTimeout},
      {"threads", required_argument, nullptr, kThreads},
      {"busy-poll", required_argument, nullptr, kBusyPoll},
      {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  ServerOptions options;
  std::vector<DatabaseConfig> fromCommandLine;
  std::string listen;
  int64_t maxConnections = -1;
  int64_t idleTimeout = -1;
  int64_t threads = -1;
  int64_t busyPoll = -1;
  bool quiet = false;
  std::string configPath;
  int option;
  while ((option = getopt_long(argc, argv, "d:c:l:qhV", longOptions, nullptr)) != -1) {
    switch (option) {
      case 'd': fromCommandLine.push_back(ParseDatabase(optarg)); break;
      case 'c': configPath = optarg; break;
      case 'l': listen = optarg; break;
      case 'q': quiet = true; break;
      case kMaxConnections:
        if (!ParseCount(optarg, 1, maxConnections)) Fail("--max-connections needs a positive number");
        break;
      case kIdleTimeout:
        if (!ParseCount(optarg, 1, idleTimeout) || idleTimeout > kMaxIdleTimeout) {
          Fail("--idle-timeout needs a number of seconds from 1 to " + std::to_string(kMaxIdleTimeout));
        }
        break;
      case kThreads:
        if (!ParseCount(optarg, 1, threads) || threads > 256) Fail("--threads needs a number from 1 to 256");
        break;
      case kBusyPoll:
        if (!ParseCount(optarg, 0, busyPoll) || busyPoll > kMaxBusyPoll) {
          Fail("--busy-poll needs a number of microseconds from 0 to " + std::to_string(kMaxBusyPoll));
        }
        break;
      case 'h': std::cout << kHelp; return 0;
      case 'V': std::cout << "vos-serve 1.0\n"; return 0;
      default: std::cerr << "Try 'vos-serve --help' for more information.\n"; return kTrouble;
    }
  }
  if (optind < argc) Fail("unexpected argument \"" + std::string(argv[optind]) + "\"");
  // The command line wins over the configuration file; its databases come after the file's.
  if (!configPath.empty()) ReadConfig(configPath, options);
  if (!listen.empty()) ParseListen(listen, options);
  if (maxConnections > 0) options.maxConnections = maxConnections;
  if (idleTimeout > 0) options.idleTimeoutSeconds = idleTimeout;
  if (threads > 0) options.threads = static_cast<int>(threads);
  if (busyPoll >= 0) options.busyPollMicroseconds = busyPoll;
  if (quiet) options.quiet = true;
  for (auto& config : fromCommandLine) options.databases.push_back(std::move(config));
  if (options.databases.empty()) Fail("no databases: give --db NAME:INDEX:DICTIONARY or --config FILE");

  DatabaseSet databases;
  for (const DatabaseConfig& config : options.databases) {
    if (!UsableName(config.name)) {
      Fail("database name \"" + config.name + "\": use letters, digits and - _ . + only (not * or !)");
    }
    if (FindDatabase(databases, config.name) != nullptr) Fail("database " + config.name + " given twice");
    std::shared_ptr<const Database> database;
    std::string error;
    if (!OpenDatabase(config, database, error)) Fail("database " + config.name + ": " + error);
    databases.push_back(std::move(database));
  }
  try {
    Server server(options, std::move(databases));
    // Printed even when quiet: with port 0 it is the only way to learn the port.
    if (!options.quiet || options.port == "0") std::cerr << "vos-serve: listening on " << server.Address() << "\n";
    server.Run();
  } catch (const std::system_error& error) {
    Fail("cannot listen on " + options.host + ":" + options.port + ": " + error.what());
  }
  return 0;
}

}  // namespace
}  // namespace vos

int main(int argc, char** argv) { return vos::RealMain(argc, argv); }

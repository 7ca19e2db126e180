// The options several subcommands share, declared once here and checked
// once, for every command that takes them. Every option takes exactly one
// value; a repeatable one is repeated.
#ifndef VELMORA_HOST_CLI_OPTIONS_H_
#define VELMORA_HOST_CLI_OPTIONS_H_

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>
#include <vector>

#include "host/net/http_options.h"

namespace velmora::host {

inline constexpr size_t kMaxJobs = 64;

// What every command but --version has: the plugin, traces, JSON.
struct ReportOptions {
  std::string plugin;
  bool trace = false;
  bool traceCookies = false;
  bool json = false;
};

// The plugin's debug mode: its log, and its dump in dumpDir.
struct DebugOptions {
  bool debug = false;
  std::string dumpDir;
};

// What the commands that take links (resolve, get) share.
struct LinkOptions {
  ReportOptions report;
  DebugOptions debug;
  HttpOptions http;
  size_t jobs = 1;
  std::vector<std::string> urls;
  std::vector<std::string> batchFiles;
  std::string failedTo;  // --failed-to, where the command takes it
};

// --plugin, --trace and --trace-cookies, and --json where json is given.
void AddReportOptions(CLI::App& command, ReportOptions& options, bool json);
// --debug and --dump-dir.
void AddDebugOptions(CLI::App& command, DebugOptions& options);
// --max-page-bytes: for the network commands and replay.
void AddPageLimitOption(CLI::App& command, HttpOptions& http);
// --connect-timeout, --timeout, --retries, --deadline, --proxy,
// --user-agent, --header, --cookies.
void AddNetworkOptions(CLI::App& command, HttpOptions& http);
// -j, --jobs.
void AddJobsOption(CLI::App& command, size_t& jobs, const char* what);
// URL... ("-": the lines of stdin) and -a, --batch-file.
void AddLinkArguments(CLI::App& command, std::vector<std::string>& urls,
                      std::vector<std::string>& batchFiles);

// --failed-to FILE: the links that did not succeed, as a batch file.
void AddFailedToOption(CLI::App& command, std::string& path);

// All of the above that LinkOptions holds; jobs says what a job does.
void AddLinkOptions(CLI::App& command, LinkOptions& options, const char* jobs);

// Checks what libcurl would only find fault with in the middle of a run.
// Returns 0, or kExitUsage having said why.
int CheckNetworkOptions(const HttpOptions& http);

}  // namespace velmora::host

#endif  // VELMORA_HOST_CLI_OPTIONS_H_

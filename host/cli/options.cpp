#include "host/cli/options.h"

#include <sys/stat.h>

#include "host/cli/exit_codes.h"
#include "host/io/diagnostics.h"
#include "host/net/http_headers.h"

namespace velmora::host {

void AddReportOptions(CLI::App& command, ReportOptions& options, bool json) {
  command.add_option("--plugin", options.plugin, "Plugin library to load")
      ->default_str("Velmora.plg next to velmora-host, else in " VELMORA_PLUGIN_DIR_FROM_PROGRAM
                    " from there");
  command.add_flag("--trace", options.trace,
                   "Print every HTTP exchange on stderr: headers, redirects, sizes");
  command.add_flag("--trace-cookies", options.traceCookies,
                   "With --trace, show cookie and credential values instead of ***");
  if (json) {
    command.add_flag("--json", options.json,
                     "JSON on stdout instead of lines (schema in host/README.md)");
  }
}

void AddDebugOptions(CLI::App& command, DebugOptions& options) {
  command.add_flag("--debug", options.debug,
                   "Plugin debug mode: its log on stderr, the answer page dumped");
  command.add_option("--dump-dir", options.dumpDir,
                     "Folder for the debug dump (implies --debug; default: the current one)");
}

void AddPageLimitOption(CLI::App& command, HttpOptions& http) {
  command.add_option("--max-page-bytes", http.maxPageBytes, "Largest page kept, in bytes")
      ->capture_default_str()
      ->check(CLI::Range(size_t{1}, size_t{1} << 40));
}

void AddNetworkOptions(CLI::App& command, HttpOptions& http) {
  AddPageLimitOption(command, http);
  command
      .add_option("--connect-timeout", http.connectTimeoutSeconds,
                  "Seconds to wait for a connection")
      ->capture_default_str()
      ->check(CLI::Range(1L, 3600L));
  command
      .add_option("--timeout", http.timeoutSeconds,
                  "Seconds a page exchange may take in all, and a file transfer without a byte")
      ->capture_default_str()
      ->check(CLI::Range(1L, 86400L));
  command
      .add_option("--retries", http.retries,
                  "Tries again after a connection failure, a timeout, a 5xx or a 429 status, "
                  "waiting 0.5 s, 1 s, 2 s ... or what Retry-After asks (at most 300 s)")
      ->capture_default_str()
      ->check(CLI::Range(0, 100));
  command
      .add_option("--deadline", http.deadlineSeconds,
                  "Seconds one link may take in all, retries included (0: no deadline)")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 86400.0));
  command.add_option("--proxy", http.proxy, "Proxy URL for every request but loopback");
  command.add_option("--user-agent", http.userAgent, "User-Agent header to send");
  command.add_option("--header", http.headers,
                     "Extra request header 'Name: value' (repeat the option for more)");
  command.add_option("--cookies", http.cookieFile,
                     "Netscape cookie file: read at the start, written at the end");
}

void AddJobsOption(CLI::App& command, size_t& jobs, const char* what) {
  command.add_option("-j,--jobs", jobs, what)
      ->capture_default_str()
      ->check(CLI::Range(size_t{1}, kMaxJobs));
}

void AddLinkArguments(CLI::App& command, std::vector<std::string>& urls,
                      std::vector<std::string>& batchFiles) {
  command.add_option("-a,--batch-file", batchFiles,
                     "Read URLs from FILE, one a line (\"-\" for stdin); blank lines and # "
                     "comments are skipped, bad lines reported one by one (repeatable)");
  command.add_option("URL", urls, "Links to file pages (\"-\": one a line from stdin)");
}

void AddFailedToOption(CLI::App& command, std::string& path) {
  command.add_option("--failed-to", path,
                     "Write the links that did not succeed (and those not reached) to FILE, "
                     "each after a # comment saying why; -a FILE retries them");
}

void AddLinkOptions(CLI::App& command, LinkOptions& options, const char* jobs) {
  AddReportOptions(command, options.report, true);
  AddDebugOptions(command, options.debug);
  AddNetworkOptions(command, options.http);
  AddJobsOption(command, options.jobs, jobs);
  AddLinkArguments(command, options.urls, options.batchFiles);
}

int CheckNetworkOptions(const HttpOptions& http) {
  for (const std::string& header : http.headers) {
    std::string why;
    if (!IsHeaderLine(header, why)) {
      Say("--header \"" + header + "\": " + why + ".");
      return kExitUsage;
    }
  }
  struct stat info {};
  if (!http.cookieFile.empty() && stat(http.cookieFile.c_str(), &info) == 0 &&
      !S_ISREG(info.st_mode)) {
    Say("--cookies " + http.cookieFile + ": not a regular file.");
    return kExitUsage;
  }
  return 0;
}

}  // namespace velmora::host

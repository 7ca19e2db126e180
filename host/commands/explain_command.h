// The explain subcommand of velmora-host: resolves one link through the
// loaded plugin (live, or from a recording), then tells its road.
#ifndef VELMORA_HOST_EXPLAIN_COMMAND_H_
#define VELMORA_HOST_EXPLAIN_COMMAND_H_

#include <CLI/CLI.hpp>
#include <string>

#include "host/net/http_client.h"

namespace velmora::host {

struct ExplainOptions {
  std::string plugin;
  std::string recording;  // explain from this recording, without network
  std::string url;
  bool json = false;
  bool trace = false;
  bool traceCookies = false;
  HttpOptions http;
};

// Adds "explain" with its options to app.
CLI::App* AddExplainCommand(CLI::App& app, ExplainOptions& options);

// Runs it; returns the exit code (host/README.md). Throws PluginLoadError
// when the plugin cannot be loaded.
int RunExplain(const ExplainOptions& options);

}  // namespace velmora::host

#endif  // VELMORA_HOST_EXPLAIN_COMMAND_H_

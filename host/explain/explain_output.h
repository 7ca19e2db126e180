// What velmora-host explain prints: the road as text for a person (fitted
// to the terminal, markers highlighted when it may) or as one JSON document.
#ifndef VELMORA_HOST_EXPLAIN_EXPLAIN_OUTPUT_H_
#define VELMORA_HOST_EXPLAIN_EXPLAIN_OUTPUT_H_

#include <string>

#include "host/explain/explain.h"
#include "host/run/link_report.h"

namespace velmora::host {

// One explained link: the plugin's run and the road told for it.
struct Explained {
  LinkReport report;  // the loaded plugin's run: outcome, exchanges
  Road road;
  std::string pageUrl;    // the page's URL after redirects
  std::string postUrl;    // where the host posted the form; empty: no POST
  size_t pageBytes = 0;   // the page as received, a NUL and what follows included
  bool compared = false;  // the plugin's result is known (no transfer failure)
  std::string pluginResult;
  std::string disagreement;
  int exitCode = 0;
};

struct TextStyle {
  size_t width = 100;  // columns
  bool colour = false;
};

// The style for stdout: its width when it is a terminal (else COLUMNS, else
// 100), colour when it is a terminal and NO_COLOR is unset or empty.
TextStyle StdoutStyle();

// Every site byte escaped (Shown) and every line at most style.width wide.
std::string ExplainedText(const Explained& explained, const TextStyle& style);

// "link", "nolink", "notfound" or "deleted".
std::string VerdictName(Verdict verdict);

// One JSON document on one line, pure ASCII (schema in host/README.md).
std::string ExplainedJson(const Explained& explained);

// The part of text around [at, at + length) that fits in width columns,
// escaped, with the marker highlighted: two lines (the excerpt, and carets
// under the marker) without colour, one with it.
std::string Excerpt(std::string_view text, size_t at, size_t length, size_t width, bool colour,
                    const char* markerColour);

}  // namespace velmora::host

#endif  // VELMORA_HOST_EXPLAIN_EXPLAIN_OUTPUT_H_

#include "host/io/diagnostics.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "host/io/terminal_text.h"

namespace velmora::host {
namespace {

struct Writer {
  std::mutex lock;
  size_t statusLines = 0;  // lines of the status area on the screen now
};

Writer& TheWriter() {
  static Writer writer;
  return writer;
}

// The cursor back to where the status area began, and the rest erased.
std::string Erase(size_t lines) {
  if (lines == 0) return {};
  std::string erase = "\r";
  if (lines > 1) erase += "\033[" + std::to_string(lines - 1) + "A";
  return erase + "\033[J";
}

// Whole, retried after a signal; a stderr that cannot be written is no
// reason to stop a run.
void WriteLocked(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

}  // namespace

void WriteDiagnosticLine(std::string_view line) {
  Writer& writer = TheWriter();
  std::lock_guard<std::mutex> guard(writer.lock);
  std::string text = Erase(writer.statusLines);
  writer.statusLines = 0;
  text.append(line);
  text += '\n';
  WriteLocked(STDERR_FILENO, text);
}

void Say(std::string_view sentence) { WriteDiagnosticLine("velmora-host: " + Shown(sentence)); }

void SayEscaped(std::string_view sentence) {
  WriteDiagnosticLine("velmora-host: " + std::string(sentence));
}

void DrawStatus(std::string_view text, size_t lines) {
  Writer& writer = TheWriter();
  std::lock_guard<std::mutex> guard(writer.lock);
  std::string bytes = Erase(writer.statusLines);
  bytes.append(text);
  writer.statusLines = lines;
  WriteLocked(STDERR_FILENO, bytes);
}

void ClearStatus() {
  Writer& writer = TheWriter();
  std::lock_guard<std::mutex> guard(writer.lock);
  WriteLocked(STDERR_FILENO, Erase(writer.statusLines));
  writer.statusLines = 0;
}

}  // namespace velmora::host

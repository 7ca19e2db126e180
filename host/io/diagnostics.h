// The one writer of stderr. Every diagnostic line (a trace, the plugin's
// log, a message) and the progress display leave through it: each line whole,
// in one write, under one lock, from whichever thread. A status area (the
// progress display) sits below the lines; a line takes it off the screen
// first, in the same write, and the next drawing brings it back.
#ifndef VELMORA_HOST_IO_DIAGNOSTICS_H_
#define VELMORA_HOST_IO_DIAGNOSTICS_H_

#include <cstddef>
#include <string_view>

namespace velmora::host {

// Writes line and a line end. Site bytes in it must be escaped (Shown).
void WriteDiagnosticLine(std::string_view line);

// "velmora-host: SENTENCE": every sentence for the user; site bytes in it
// are escaped here.
void Say(std::string_view sentence);
// The same for a sentence whose site bytes are escaped already (a path
// printed as it is beside them).
void SayEscaped(std::string_view sentence);

// Replaces the status area with text, lines lines tall (no line end after
// the last); a terminal only.
void DrawStatus(std::string_view text, size_t lines);
// Takes the status area off the screen.
void ClearStatus();

}  // namespace velmora::host

#endif  // VELMORA_HOST_IO_DIAGNOSTICS_H_

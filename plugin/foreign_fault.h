// Test support: a fault that leaves a host callback without unwinding the
// plugin's frames, as a structured exception raised by a host written in
// another language passes over frames compiled with DWARF unwinding on
// Win32: no destructor of those frames runs. The native build stands it in
// with longjmp.
#ifndef VELMORA_PLUGIN_FOREIGN_FAULT_H_
#define VELMORA_PLUGIN_FOREIGN_FAULT_H_

namespace velmora::testing {

// Runs body(context); returns true when a foreign fault raised inside it
// ended it, false when it returned. Guards nest; a fault ends the innermost.
bool RunGuarded(void (*body)(void* context), void* context);

// Leaves the innermost RunGuarded on this thread. Call only inside one.
[[noreturn]] void RaiseForeignFault();

}  // namespace velmora::testing

#endif  // VELMORA_PLUGIN_FOREIGN_FAULT_H_

// The standard library's error hooks for a DLL without C++ exceptions
// (boundary.h says why it has none). libstdc++ reports every error of its
// own (a string grown past max_size(), an index out of range) by calling one
// of these; compiled into libstdc++ they would throw. Here they raise the
// plugin's structured exception at once. Defining all of them keeps
// libstdc++'s throwing versions, and with them the exception machinery, out
// of the link.
#include "plugin/boundary.h"
#include "plugin/plugin_api.h"

#if !defined(__GLIBCXX__)
#error "the error hooks below are libstdc++'s"
#endif

namespace {

[[noreturn]] void Failed() { velmora::RaiseFailure(VELMORA_STATUS_FAILURE); }

}  // namespace

namespace std {

void __throw_bad_alloc() { velmora::FailForLackOfMemory(); }
void __throw_bad_array_new_length() { velmora::FailForLackOfMemory(); }
void __throw_bad_exception() { Failed(); }
void __throw_bad_cast() { Failed(); }
void __throw_bad_typeid() { Failed(); }
void __throw_logic_error(const char*) { Failed(); }
void __throw_domain_error(const char*) { Failed(); }
void __throw_invalid_argument(const char*) { Failed(); }
void __throw_length_error(const char*) { Failed(); }
void __throw_out_of_range(const char*) { Failed(); }
void __throw_out_of_range_fmt(const char*, ...) { Failed(); }
void __throw_runtime_error(const char*) { Failed(); }
void __throw_range_error(const char*) { Failed(); }
void __throw_overflow_error(const char*) { Failed(); }
void __throw_underflow_error(const char*) { Failed(); }

}  // namespace std

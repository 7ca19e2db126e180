#include "plugin/foreign_fault.h"

#include <csetjmp>
#include <cstdlib>

namespace velmora::testing {
namespace {

struct Guard {
  std::jmp_buf jump;
  Guard* outer;
};

thread_local Guard* t_innermost = nullptr;

}  // namespace

bool RunGuarded(void (*body)(void* context), void* context) {
  Guard guard;
  guard.outer = t_innermost;
  t_innermost = &guard;
  if (setjmp(guard.jump) != 0) {
    t_innermost = guard.outer;
    return true;
  }
  body(context);
  t_innermost = guard.outer;
  return false;
}

void RaiseForeignFault() {
  if (t_innermost == nullptr) std::abort();
  std::longjmp(t_innermost->jump, 1);
}

}  // namespace velmora::testing

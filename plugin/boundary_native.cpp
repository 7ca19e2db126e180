// Native hosts are C++ test programs and tools: errors pass through to them
// as the C++ exceptions they are.
#include <cstdlib>

#include "plugin/boundary.h"

namespace velmora {

AbandonGuard::AbandonGuard(Release release, void* context) noexcept
    : release_(release), context_(context) {}
AbandonGuard::~AbandonGuard() = default;

unsigned long FailureCode() { throw; }

void RaiseFailure(unsigned long) { std::abort(); }  // unreachable: FailureCode rethrows

}  // namespace velmora

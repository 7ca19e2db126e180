// Native hosts are C++ test programs and tools: errors pass through to them
// as the C++ exceptions they are.
#include <new>

#include "plugin/boundary.h"

namespace velmora {

AbandonGuard::AbandonGuard(Release release, void* context) noexcept
    : release_(release), context_(context) {}
AbandonGuard::~AbandonGuard() = default;

void FailForLackOfMemory() { throw std::bad_alloc(); }

}  // namespace velmora

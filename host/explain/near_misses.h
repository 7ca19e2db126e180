// The near misses explain hints at: a marker the exact rules ignore because
// it is written in another letter case, with blanks around "=" or with a
// single quote.
#ifndef VELMORA_HOST_EXPLAIN_NEAR_MISSES_H_
#define VELMORA_HOST_EXPLAIN_NEAR_MISSES_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "host/explain/explain.h"

namespace velmora::host {

// The first occurrence of word in [from, to) in any letter case, but not as
// written (exact); kNowhere when there is none.
size_t FindOtherCase(std::string_view text, std::string_view word, size_t from, size_t to);

// Adds a "letter-case" hint for word written otherwise in [from, to) of
// text, saying rule.
void HintOtherCase(Road& road, Step step, Where in, std::string_view text, std::string_view word,
                   size_t from, size_t to, const std::string& rule);

// Adds a hint for the attribute word written near its exact marker WORD="
// in [from, to): another letter case, blanks around "=", a single quote.
void HintNearAttribute(Road& road, Step step, Where in, std::string_view text,
                       std::string_view word, size_t from, size_t to);

// text in double quotes.
std::string Quoted(std::string_view text);

}  // namespace velmora::host

#endif  // VELMORA_HOST_EXPLAIN_NEAR_MISSES_H_

// Cutting texts to a number of user-perceived characters (grapheme clusters).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace solvera::cloud {

// The first `limit` user-perceived characters of a UTF-8 text. A character (a letter with its
// accents, an emoji sequence, CR LF) is never split, nor is a UTF-8 sequence. Text that is not
// valid UTF-8 gives empty text.
std::string firstCharacters(std::string_view text, std::size_t limit);

}  // namespace solvera::cloud

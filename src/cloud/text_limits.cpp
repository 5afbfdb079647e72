// Grapheme-cluster cutting with ICU's character break iterator, straight over the UTF-8 bytes.
#include "cloud/text_limits.hpp"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <memory>

#include "common/json.hpp"

namespace solvera::cloud {
namespace {

// Making an iterator loads rules: keep one per thread.
icu::BreakIterator* characterIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) it.reset();
    return it;
  }();
  // The analyzer takes the thread-local's destructor as run here.
  return iterator.get();  // NOLINT(clang-analyzer-cplusplus.NewDelete)
}

}  // namespace

std::string firstCharacters(std::string_view text, std::size_t limit) {
  if (!isValidUtf8(text)) return {};
  // A character takes at least one byte, so a short text cannot be over the limit.
  if (text.size() <= limit) return std::string(text);
  if (limit == 0) return {};
  icu::BreakIterator* it = characterIterator();
  if (!it) return {};
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_FAILURE(status)) return {};
  it->setText(ut, status);
  std::size_t end = text.size();
  if (U_SUCCESS(status)) {
    it->first();
    std::int32_t boundary = it->next(static_cast<std::int32_t>(limit));
    // Native indices of a UTF-8 UText are byte offsets.
    if (boundary != icu::BreakIterator::DONE) end = static_cast<std::size_t>(boundary);
  } else {
    end = 0;
  }
  // Leave no reference to our bytes behind in the cached iterator.
  utext_close(ut);
  UErrorCode ignored = U_ZERO_ERROR;
  UText* empty = utext_openUTF8(nullptr, "", 0, &ignored);
  it->setText(empty, ignored);
  utext_close(empty);
  return std::string(text.substr(0, end));
}

}  // namespace solvera::cloud

// The render callback allocates nothing: every operator new on this thread is counted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "audio/native_audio_engine.hpp"
#include "audio/tests/fake_audio_output.hpp"

namespace {
thread_local bool counting = false;
thread_local std::size_t allocations = 0;

void* allocate(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (counting) ++allocations;
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (counting) ++allocations;
  return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace solvera;

TEST(RenderCallback, AllocatesNothing) {
  counting = true;
  auto* probe = new int(1);
  counting = false;
  delete probe;
  ASSERT_EQ(allocations, 1u) << "the counter sees allocations";
  allocations = 0;

  auto backend = std::make_shared<test::FakeAudioBackend>();
  NativeAudioEngine engine(backend);
  engine.start({"binaural", "sine", 200, 10, 0.5, 0, 0, 0, 0});
  std::vector<float> block(4096 * 2);
  const AudioBuffer buffer{block.data(), 2};
  double bass = -12;
  for (const char* mode : {"binaural", "monaural", "isochronic", "isochronic-monaural"}) {
    for (const char* shape : {"sine", "triangle", "square", "trapezoid", "sawtooth"}) {
      // New words and new equaliser gains every time, so the filters are retuned in the block.
      engine.update({mode, shape, 432, 7.83, 0.7, -0.3, bass += 1, -4, 6});
      counting = true;
      backend->source->render(4096, AudioBufferList(&buffer, 1));
      backend->source->render(333, AudioBufferList(&buffer, 1));
      counting = false;
      EXPECT_EQ(allocations, 0u) << mode << ' ' << shape;
    }
  }
}

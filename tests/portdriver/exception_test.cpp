// Allocation failures thrown inside the control dispatcher: the request
// fails, the lock is released, and nothing is left half done. Its own
// program, since it replaces the global operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <new>

#include "tests/portdriver/driver_fixture.h"

namespace {

// When armed, the next allocation of exactly this size throws (0: off;
// kAnySize: whatever its size).
constexpr size_t kAnySize = ~size_t{0};
std::atomic<size_t> g_throwOnSize{0};
std::atomic<size_t> g_lastSize{0};

}  // namespace

void* operator new(size_t size) {
  g_lastSize = size;
  size_t armed = size;
  if (g_throwOnSize.compare_exchange_strong(armed, 0)) throw std::bad_alloc();
  armed = kAnySize;
  if (g_throwOnSize.compare_exchange_strong(armed, 0)) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The blocks come from malloc above, whatever g++ infers at the call sites.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace pdtest {
namespace {

class DispatcherExceptionTest : public PortDriverTest {};

// The size of one node of the open-port table.
size_t TableNodeSize() {
  std::map<uint8_t, PortRecord*> m;
  m.emplace(1, nullptr);
  return g_lastSize;
}

TEST_F(DispatcherExceptionTest, FailedAllocationsInsideRequests) {
  // The copy of a given name (long enough to need the heap; the request's
  // first allocation), and the insertion of a new port into the table.
  const std::u16string longName = u"LPT1:with a long tail";
  for (size_t size : {kAnySize, TableNodeSize()}) {
    SCOPED_TRACE(size);
    g_throwOnSize = size;
    EXPECT_EQ(OpenPort(longName), 0);
    EXPECT_EQ(g_throwOnSize.load(), 0u) << "the failure was injected";
    g_throwOnSize = 0;
    EXPECT_EQ(g_csPorts.recursion, 0) << "the lock was released";
    EXPECT_EQ(TableSize(), 0u);
    EXPECT_EQ(lpt1->OpenNow(), 0) << "a port opened for the failed request is closed";
  }
  // The driver works on afterwards.
  const uint8_t index = OpenPort(longName);
  EXPECT_EQ(index, 1);
  EXPECT_TRUE(ClosePort(index));
}

}  // namespace
}  // namespace pdtest

// Caller buffers: a request from an application carries 32-bit addresses of
// the application's own space. Applications of this stand-in register the
// memory they point to and put the returned address into their requests;
// CeOpenCallerBuffer resolves such an address and refuses anything else, as
// the real mapping refuses a pointer outside the caller's space.

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

#include "platform/devices.h"

namespace {

// Fake addresses lie in [kLowest, kHighest); after each buffer a gap, so that
// an address just past one buffer never lands in the next.
constexpr uint64_t kLowest = 0x10000000u;
constexpr uint64_t kHighest = 0xF0000000u;
constexpr uint64_t kGap = 0x1000;
constexpr uint64_t kAlign = 0x10;

struct Region {
  BYTE* memory;
  uint64_t size;
};

// One mapping made by CeOpenCallerBuffer and not yet closed.
struct Mapping {
  uint64_t address;
  DWORD size;
  std::unique_ptr<BYTE[]> copy;  // the duplicate when one was asked for
};

struct CallerBuffers {
  std::mutex mu;
  std::map<uint64_t, Region> regions;  // by start address
  // The same regions by the real memory they stand for (several may share
  // memory), with their sizes, for the check of DeviceIoControl's buffers.
  std::multimap<uintptr_t, uint64_t> byMemory;
  std::multimap<void*, Mapping> open;  // by the pointer handed out
  // Addresses are handed out upwards and only reused after a full round.
  uint64_t next = kLowest;
};

CallerBuffers& Buffers() {
  static CallerBuffers* b = new CallerBuffers;
  return *b;
}

uint64_t Span(uint64_t size) { return (size + kAlign - 1) / kAlign * kAlign + kGap; }

// The registered region holding [address, address + size), or null.
const Region* Resolve(CallerBuffers& b, uint64_t address, uint64_t size, uint64_t* offset) {
  auto it = b.regions.upper_bound(address);
  if (it == b.regions.begin()) return nullptr;
  --it;
  uint64_t off = address - it->first;
  if (off >= it->second.size || size > it->second.size - off) return nullptr;
  *offset = off;
  return &it->second;
}

}  // namespace

namespace plat {

uint32_t RegisterCallerBuffer(void* memory, size_t size) {
  if (memory == nullptr || size == 0 || size > kHighest - kLowest - kGap) return 0;
  CallerBuffers& b = Buffers();
  std::lock_guard<std::mutex> lock(b.mu);
  const uint64_t span = Span(size);
  uint64_t candidate = b.next;
  bool wrapped = false;
  for (;;) {
    if (candidate + span > kHighest) {
      if (wrapped) return 0;  // no room left anywhere
      wrapped = true;
      candidate = kLowest;
    }
    // The first region that could overlap [candidate, candidate + span).
    auto it = b.regions.upper_bound(candidate);
    if (it != b.regions.begin()) {
      auto prev = std::prev(it);
      uint64_t prevEnd = prev->first + Span(prev->second.size);
      if (prevEnd > candidate) {
        candidate = prevEnd;
        continue;
      }
    }
    if (it != b.regions.end() && it->first < candidate + span) {
      candidate = it->first + Span(it->second.size);
      continue;
    }
    break;
  }
  b.regions[candidate] = Region{static_cast<BYTE*>(memory), size};
  b.byMemory.emplace(reinterpret_cast<uintptr_t>(memory), size);
  b.next = candidate + span;
  return static_cast<uint32_t>(candidate);
}

void UnregisterCallerBuffer(uint32_t address) {
  CallerBuffers& b = Buffers();
  std::lock_guard<std::mutex> lock(b.mu);
  auto it = b.regions.find(address);
  if (it == b.regions.end()) return;
  const uintptr_t start = reinterpret_cast<uintptr_t>(it->second.memory);
  auto [first, last] = b.byMemory.equal_range(start);
  for (auto m = first; m != last; ++m) {
    if (m->second == it->second.size) {
      b.byMemory.erase(m);
      break;
    }
  }
  b.regions.erase(it);
}

bool IsCallerMemory(const void* memory, size_t size) {
  if (memory == nullptr || size == 0) return false;
  const uintptr_t start = reinterpret_cast<uintptr_t>(memory);
  if (size > UINTPTR_MAX - start) return false;
  CallerBuffers& b = Buffers();
  std::lock_guard<std::mutex> lock(b.mu);
  // Regions may overlap, so every one starting at or below `start` counts.
  const auto end = b.byMemory.upper_bound(start);
  for (auto it = b.byMemory.begin(); it != end; ++it) {
    const uint64_t offset = start - it->first;
    if (offset < it->second && size <= it->second - offset) return true;
  }
  return false;
}

namespace {
std::atomic<bool> g_checkCallerBuffers{false};
}  // namespace

void SetCallerBufferCheck(bool on) { g_checkCallerBuffers.store(on, std::memory_order_relaxed); }

bool CallerBufferCheck() { return g_checkCallerBuffers.load(std::memory_order_relaxed); }

}  // namespace plat

extern "C" {

HRESULT CeOpenCallerBuffer(void** ppDestMarshalled, void* pSrcUnmarshalled, DWORD cbSrc, DWORD ArgumentDescriptor,
                           BOOL ForceDuplicate) {
  if (ppDestMarshalled == nullptr || pSrcUnmarshalled == nullptr || cbSrc == 0 ||
      ArgumentDescriptor != ARG_I_WSTR) {
    return E_INVALIDARG;
  }
  const uintptr_t address = reinterpret_cast<uintptr_t>(pSrcUnmarshalled);
  if (address > 0xFFFFFFFFu) return E_ACCESSDENIED;  // not an address of a caller's space
  CallerBuffers& b = Buffers();
  std::lock_guard<std::mutex> lock(b.mu);
  uint64_t offset = 0;
  const Region* region = Resolve(b, address, cbSrc, &offset);
  if (region == nullptr) return E_ACCESSDENIED;
  Mapping m{address, cbSrc, nullptr};
  void* local = region->memory + offset;
  if (ForceDuplicate) {
    // An input argument: the copy is taken now and never written back.
    m.copy = std::make_unique<BYTE[]>(cbSrc);
    std::copy(region->memory + offset, region->memory + offset + cbSrc, m.copy.get());
    local = m.copy.get();
  }
  b.open.emplace(local, std::move(m));
  *ppDestMarshalled = local;
  return S_OK;
}

HRESULT CeCloseCallerBuffer(void* pDestMarshalled, void* pSrcUnmarshalled, DWORD cbSrc, DWORD ArgumentDescriptor) {
  if (pDestMarshalled == nullptr || ArgumentDescriptor != ARG_I_WSTR) return E_INVALIDARG;
  const uintptr_t address = reinterpret_cast<uintptr_t>(pSrcUnmarshalled);
  std::unique_ptr<BYTE[]> copy;  // freed after the lock
  {
    CallerBuffers& b = Buffers();
    std::lock_guard<std::mutex> lock(b.mu);
    auto [first, last] = b.open.equal_range(pDestMarshalled);
    auto it = first;
    while (it != last && !(it->second.address == address && it->second.size == cbSrc)) ++it;
    if (it == last) return E_INVALIDARG;
    copy = std::move(it->second.copy);
    b.open.erase(it);
  }
  return S_OK;
}

}  // extern "C"

#include "platform/system.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/gdi.h"

namespace {

thread_local DWORD t_lastError = 0;

// The clock: stand-in milliseconds = baseVirtual + (real - baseReal) * speed.
struct Clock {
  std::mutex mu;
  std::chrono::steady_clock::time_point baseReal = std::chrono::steady_clock::now();
  double baseVirtualMs = 0.0;
  double speed = 1.0;

  double NowLocked() {
    auto real = std::chrono::steady_clock::now();
    double elapsedMs = std::chrono::duration<double, std::milli>(real - baseReal).count();
    return baseVirtualMs + elapsedMs * speed;
  }
  void Rebase(double virtualMs, double newSpeed) {
    baseReal = std::chrono::steady_clock::now();
    baseVirtualMs = virtualMs;
    speed = newSpeed;
  }
};

Clock& TheClock() {
  static Clock c;
  return c;
}

std::mutex g_debugMu;
std::string g_debugCapture;
std::atomic<bool> g_capturing{false};
std::atomic<bool> g_debugEnabled{true};

std::mutex g_allocMu;
int g_failCountdown = 0;
std::atomic<uint64_t> g_allocCount{0};
std::atomic<int64_t> g_liveAllocs{0};

// The platform runtime's generator state is per process, as in its C library.
std::atomic<uint32_t> g_randState{1};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendWide(std::string& out, const WCHAR* s) {
  if (s == nullptr) {
    out += "(null)";
    return;
  }
  std::u16string tmp;
  while (*s) tmp += *s++;
  out += plat::ToUtf8(tmp);
}

BOOL (*g_deleteObjectHandler)(HANDLE) = nullptr;

}  // namespace

extern "C" {

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

DWORD GetTickCount() { return static_cast<DWORD>(plat::NowMs64()); }

void Sleep(DWORD ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::nanoseconds(plat::StandInMsToRealNs(ms)));
}

static void FillSystemTime(SYSTEMTIME* st, bool local) {
  if (st == nullptr) return;
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  if (local) {
    localtime_r(&t, &tm);
  } else {
    gmtime_r(&t, &tm);
  }
  st->wYear = static_cast<WORD>(tm.tm_year + 1900);
  st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  st->wDay = static_cast<WORD>(tm.tm_mday);
  st->wHour = static_cast<WORD>(tm.tm_hour);
  st->wMinute = static_cast<WORD>(tm.tm_min);
  st->wSecond = static_cast<WORD>(tm.tm_sec);
  st->wMilliseconds = static_cast<WORD>(ms);
}

void GetLocalTime(SYSTEMTIME* st) { FillSystemTime(st, true); }
void GetSystemTime(SYSTEMTIME* st) { FillSystemTime(st, false); }

void NKDbgPrintfW(LPCWSTR fmt, ...) {
  if (fmt == nullptr) return;
  std::string out;
  va_list ap;
  va_start(ap, fmt);
  char num[64];
  for (const WCHAR* p = fmt; *p; ++p) {
    if (*p != u'%') {
      // Surrogate pairs are rare in debug text; take each unit as it comes.
      AppendUtf8(out, static_cast<char32_t>(*p));
      continue;
    }
    ++p;
    bool isLong = false;
    while (*p == u'l' || *p == u'h') {
      isLong = isLong || *p == u'l';
      ++p;
    }
    switch (*p) {
      case u'd':
      case u'i':
        std::snprintf(num, sizeof num, "%ld", isLong ? va_arg(ap, long) : static_cast<long>(va_arg(ap, int)));
        out += num;
        break;
      case u'u':
        std::snprintf(num, sizeof num, "%lu",
                      isLong ? va_arg(ap, unsigned long) : static_cast<unsigned long>(va_arg(ap, unsigned)));
        out += num;
        break;
      case u'x':
      case u'X':
        std::snprintf(num, sizeof num, *p == u'x' ? "%lx" : "%lX",
                      isLong ? va_arg(ap, unsigned long) : static_cast<unsigned long>(va_arg(ap, unsigned)));
        out += num;
        break;
      case u's':
        AppendWide(out, va_arg(ap, const WCHAR*));
        break;
      case u'c':
        AppendUtf8(out, static_cast<char32_t>(va_arg(ap, int)));
        break;
      case u'%':
        out += '%';
        break;
      case 0:
        --p;  // a lone % at the end
        break;
      default:
        out += '%';
        AppendUtf8(out, static_cast<char32_t>(*p));
        break;
    }
  }
  va_end(ap);
  if (g_capturing.load()) {
    std::lock_guard<std::mutex> lock(g_debugMu);
    g_debugCapture += out;
    return;
  }
  if (!g_debugEnabled.load()) return;
  std::lock_guard<std::mutex> lock(g_debugMu);
  std::fwrite(out.data(), 1, out.size(), stderr);
}

void* LocalAlloc(UINT flags, size_t bytes) {
  g_allocCount.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(g_allocMu);
    if (g_failCountdown > 0 && --g_failCountdown == 0) return nullptr;
  }
  void* p = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
  if (p != nullptr) g_liveAllocs.fetch_add(1);
  return p;
}

void* LocalFree(void* p) {
  if (p != nullptr) {
    g_liveAllocs.fetch_sub(1);
    std::free(p);
  }
  return nullptr;
}

BOOL DeleteObject(HANDLE h) {
  auto handler = g_deleteObjectHandler;
  if (handler != nullptr) return handler(h);
  return h != nullptr ? TRUE : FALSE;
}

void PlatSetDeleteObjectHandler(BOOL (*handler)(HANDLE)) { g_deleteObjectHandler = handler; }

}  // extern "C"

namespace crt {
// The classic linear congruential generator of the platform's C runtime, so
// that printed output is the same on every machine and host C library.
int rand() {
  uint32_t s = g_randState.load(std::memory_order_relaxed);
  s = s * 214013u + 2531011u;
  g_randState.store(s, std::memory_order_relaxed);
  return static_cast<int>((s >> 16) & 0x7FFF);
}
void srand(unsigned seed) { g_randState.store(seed, std::memory_order_relaxed); }
}  // namespace crt

namespace plat {

void SetClock(DWORD originMs, double speed) {
  Clock& c = TheClock();
  std::lock_guard<std::mutex> lock(c.mu);
  c.Rebase(static_cast<double>(originMs), speed > 0 ? speed : 1.0);
}

void SetClockSpeed(double speed) {
  Clock& c = TheClock();
  std::lock_guard<std::mutex> lock(c.mu);
  c.Rebase(c.NowLocked(), speed > 0 ? speed : 1.0);
}

double ClockSpeed() {
  Clock& c = TheClock();
  std::lock_guard<std::mutex> lock(c.mu);
  return c.speed;
}

uint64_t NowMs64() {
  Clock& c = TheClock();
  std::lock_guard<std::mutex> lock(c.mu);
  double v = c.NowLocked();
  return v <= 0 ? 0 : static_cast<uint64_t>(v);
}

int64_t StandInMsToRealNs(uint64_t ms) {
  double speed = ClockSpeed();
  double ns = static_cast<double>(ms) * 1e6 / speed;
  if (ns > 9e18) return static_cast<int64_t>(9e18);
  return static_cast<int64_t>(ns);
}

void CaptureDebugOutput(bool on) {
  std::lock_guard<std::mutex> lock(g_debugMu);
  g_capturing.store(on);
  if (!on) g_debugCapture.clear();
}

std::string TakeDebugOutput() {
  std::lock_guard<std::mutex> lock(g_debugMu);
  std::string out;
  out.swap(g_debugCapture);
  return out;
}

void SetDebugOutputEnabled(bool on) { g_debugEnabled.store(on); }

void FailAllocationAfter(int n) {
  std::lock_guard<std::mutex> lock(g_allocMu);
  g_failCountdown = n > 0 ? n : 0;
}

uint64_t AllocationCount() { return g_allocCount.load(); }
int64_t LiveAllocations() { return g_liveAllocs.load(); }

std::string ToUtf8(const std::u16string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::u16string FromUtf8(const std::string& s) {
  std::u16string out;
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp;
    int extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    bool bad = false;
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
        bad = true;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    if (bad) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

}  // namespace plat

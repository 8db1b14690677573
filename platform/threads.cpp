// Threads, per-thread message queues, critical sections, events and waits of
// the stand-in. Every blocking call sleeps on a condition variable; timed
// waits convert stand-in milliseconds to a real deadline when they start.

#include "platform/threads.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/handles.h"
#include "platform/system.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Thread ids

// Ids count up from 1 and are never reused within a process, so a message
// posted to an ended thread cannot reach a newer one.
std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

DWORD NewThreadId() {
  DWORD id = g_nextThreadId.fetch_add(1);
  if (id == 0) id = g_nextThreadId.fetch_add(1);  // after 2^32 ids; 0 means "no thread"
  return id;
}

// ---------------------------------------------------------------------------
// Message queues

// A queue holds this many messages at most; a post beyond it fails instead of
// letting a stalled receiver eat all memory.
constexpr size_t kMaxQueuedMessages = 10000;

struct MessageQueue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<MSG> messages;
};

struct QueueRegistry {
  std::mutex mu;
  std::map<DWORD, std::shared_ptr<MessageQueue>> queues;
};

// Never destroyed: threads still running at process exit may post or end.
QueueRegistry& Queues() {
  static QueueRegistry* r = new QueueRegistry;
  return *r;
}

void RemoveQueue(DWORD id) {
  std::shared_ptr<MessageQueue> dropped;  // released after the registry lock
  QueueRegistry& r = Queues();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.queues.find(id);
  if (it != r.queues.end()) {
    dropped = std::move(it->second);
    r.queues.erase(it);
  }
}

// Threads started by CreateThread whose start routine has not returned.
std::atomic<int> g_runningThreads{0};

// Removes the thread's queue when a thread not started by CreateThread ends.
struct QueueOwner {
  DWORD id = 0;
  std::shared_ptr<MessageQueue> queue;
  ~QueueOwner() {
    if (queue) RemoveQueue(id);
  }
};
thread_local QueueOwner t_queue;

MessageQueue& OwnQueue() {
  if (!t_queue.queue) {
    DWORD id = GetCurrentThreadId();
    auto q = std::make_shared<MessageQueue>();
    QueueRegistry& r = Queues();
    std::lock_guard<std::mutex> lock(r.mu);
    r.queues[id] = q;
    t_queue.id = id;
    t_queue.queue = std::move(q);
  }
  return *t_queue.queue;
}

std::shared_ptr<MessageQueue> FindQueue(DWORD id) {
  QueueRegistry& r = Queues();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.queues.find(id);
  return it == r.queues.end() ? nullptr : it->second;
}

bool Matches(const MSG& m, UINT filterMin, UINT filterMax) {
  if (filterMin == 0 && filterMax == 0) return true;
  return m.message >= filterMin && m.message <= filterMax;
}

// Only thread messages exist here: a null window (or -1, "thread messages
// only") selects them; any other window is unknown.
bool ValidWindowFilter(HWND hWnd) { return hWnd == nullptr || hWnd == reinterpret_cast<HWND>(intptr_t{-1}); }

// Finds the first matching message; removes it when asked. Called with q.mu held.
bool TakeMatching(MessageQueue& q, MSG* out, UINT filterMin, UINT filterMax, bool remove) {
  for (auto it = q.messages.begin(); it != q.messages.end(); ++it) {
    if (!Matches(*it, filterMin, filterMax)) continue;
    *out = *it;
    if (remove) q.messages.erase(it);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Waitable objects

// Real deadline of a wait of `ms` stand-in milliseconds, taken at the start of
// the wait; false for a wait without end.
bool RealDeadline(DWORD ms, SteadyClock::time_point* deadline) {
  if (ms == INFINITE) return false;
  int64_t ns = plat::StandInMsToRealNs(ms);
  // Beyond a century of real time is forever; it also keeps the addition
  // below from overflowing.
  constexpr int64_t kForeverNs = int64_t{100} * 365 * 24 * 3600 * 1000000000;
  if (ns >= kForeverNs) return false;
  *deadline = SteadyClock::now() + std::chrono::nanoseconds(ns);
  return true;
}

class Waitable : public plat::KernelObject {
 public:
  // WAIT_OBJECT_0 or WAIT_TIMEOUT.
  virtual DWORD Wait(DWORD ms) = 0;
};

class ThreadObject : public Waitable {
 public:
  explicit ThreadObject(DWORD id) : id_(id) {}

  DWORD Wait(DWORD ms) override {
    std::unique_lock<std::mutex> lock(mu_);
    auto ended = [this] { return ended_; };
    SteadyClock::time_point deadline;
    if (!RealDeadline(ms, &deadline)) {
      cv_.wait(lock, ended);
      return WAIT_OBJECT_0;
    }
    return cv_.wait_until(lock, deadline, ended) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }

  void Finish(DWORD exitCode) {
    std::lock_guard<std::mutex> lock(mu_);
    exitCode_ = exitCode;
    ended_ = true;
    cv_.notify_all();
  }

  DWORD ExitCode() {
    std::lock_guard<std::mutex> lock(mu_);
    return ended_ ? exitCode_ : STILL_ACTIVE;
  }

  DWORD id() const { return id_; }

 private:
  const DWORD id_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool ended_ = false;
  DWORD exitCode_ = STILL_ACTIVE;
};

class EventObject;

struct EventNames {
  std::mutex mu;
  std::map<std::u16string, std::weak_ptr<EventObject>> byName;
};

EventNames& Names() {
  static EventNames* n = new EventNames;
  return *n;
}

class EventObject : public Waitable {
 public:
  EventObject(bool manualReset, bool initialState, std::u16string name)
      : manual_(manualReset), signalled_(initialState), name_(std::move(name)) {}

  // Every handle to a named event shares this object; when the last handle is
  // closed the name is free again.
  ~EventObject() override {
    if (name_.empty()) return;
    EventNames& n = Names();
    std::lock_guard<std::mutex> lock(n.mu);
    auto it = n.byName.find(name_);
    if (it != n.byName.end() && it->second.expired()) n.byName.erase(it);
  }

  DWORD Wait(DWORD ms) override {
    std::unique_lock<std::mutex> lock(mu_);
    // Each waiter takes a ticket so that a pulse releases only those waiting
    // when it happened.
    const uint64_t ticket = nextTicket_++;
    auto released = [&] {
      if (signalled_) {
        if (!manual_) signalled_ = false;
        return true;
      }
      if (ticket < releaseAllBelow_) return true;
      if (releaseOne_ && ticket < releaseOneBelow_) {
        releaseOne_ = false;
        return true;
      }
      return false;
    };
    SteadyClock::time_point deadline;
    if (!RealDeadline(ms, &deadline)) {
      cv_.wait(lock, released);
      return WAIT_OBJECT_0;
    }
    return cv_.wait_until(lock, deadline, released) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }

  void Set() {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = true;
    if (manual_) {
      cv_.notify_all();
    } else {
      cv_.notify_one();  // an auto-reset event releases one waiter
    }
  }

  void Reset() {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = false;
  }

  // Releases the threads waiting now (all of them, or one for an auto-reset
  // event) and leaves the event not signalled.
  void Pulse() {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = false;
    if (manual_) {
      releaseAllBelow_ = nextTicket_;
    } else {
      releaseOne_ = true;
      releaseOneBelow_ = nextTicket_;
    }
    cv_.notify_all();
  }

 private:
  const bool manual_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_;
  uint64_t nextTicket_ = 0;
  uint64_t releaseAllBelow_ = 0;
  bool releaseOne_ = false;
  uint64_t releaseOneBelow_ = 0;
  const std::u16string name_;
};

// Longest event name accepted, in characters.
constexpr size_t kMaxEventName = 260;

// ---------------------------------------------------------------------------
// Critical sections

// The owner field is read by threads that do not hold the lock (to tell the
// owner from others), so it is accessed atomically.
DWORD Owner(CRITICAL_SECTION* cs) { return std::atomic_ref<DWORD>(cs->ownerThread).load(std::memory_order_relaxed); }
void SetOwner(CRITICAL_SECTION* cs, DWORD id) {
  std::atomic_ref<DWORD>(cs->ownerThread).store(id, std::memory_order_relaxed);
}

std::recursive_mutex* LockOf(CRITICAL_SECTION* cs) { return static_cast<std::recursive_mutex*>(cs->impl); }

}  // namespace

extern "C" {

DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = NewThreadId();
  return t_threadId;
}

HANDLE CreateThread(void* /*lpThreadAttributes*/, size_t /*dwStackSize*/, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, DWORD* lpThreadId) {
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (dwCreationFlags & CREATE_SUSPENDED) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  const DWORD id = NewThreadId();
  auto object = std::make_shared<ThreadObject>(id);
  g_runningThreads.fetch_add(1);
  try {
    // The thread keeps its object alive, so closing the handle neither stops
    // the thread nor loses its exit code for other handles.
    std::thread([object, lpStartAddress, lpParameter] {
      t_threadId = object->id();
      DWORD code = 0;
      try {
        code = lpStartAddress(lpParameter);
      } catch (...) {
        NKDbgPrintfW(u"thread %u ended by an exception\r\n", static_cast<unsigned>(object->id()));
        code = ERROR_GEN_FAILURE;
      }
      // Posts fail from the moment a waiter can see the thread has ended.
      RemoveQueue(object->id());
      t_queue.queue.reset();
      // Counted out before a waiter can see the end.
      g_runningThreads.fetch_sub(1);
      object->Finish(code);
    }).detach();
  } catch (const std::exception&) {
    g_runningThreads.fetch_sub(1);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (lpThreadId != nullptr) *lpThreadId = id;
  return plat::InsertHandle(object);
}

BOOL GetExitCodeThread(HANDLE hThread, DWORD* lpExitCode) {
  auto thread = plat::LookupAs<ThreadObject>(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpExitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = thread->ExitCode();
  return TRUE;
}

BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  auto q = idThread == 0 ? nullptr : FindQueue(idThread);
  if (!q) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  MSG m{};
  m.hwnd = nullptr;
  m.message = Msg;
  m.wParam = wParam;
  m.lParam = lParam;
  m.time = GetTickCount();
  {
    std::lock_guard<std::mutex> lock(q->mu);
    if (q->messages.size() >= kMaxQueuedMessages) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    q->messages.push_back(m);
  }
  q->cv.notify_all();
  return TRUE;
}

BOOL PeekMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  if (lpMsg == nullptr || !ValidWindowFilter(hWnd)) {
    SetLastError(lpMsg == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  MessageQueue& q = OwnQueue();
  std::lock_guard<std::mutex> lock(q.mu);
  return TakeMatching(q, lpMsg, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0) ? TRUE : FALSE;
}

// TRUE for a message, FALSE for WM_QUIT, -1 on bad arguments.
BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (lpMsg == nullptr || !ValidWindowFilter(hWnd)) {
    SetLastError(lpMsg == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return -1;
  }
  MessageQueue& q = OwnQueue();
  std::unique_lock<std::mutex> lock(q.mu);
  q.cv.wait(lock, [&] { return TakeMatching(q, lpMsg, wMsgFilterMin, wMsgFilterMax, true); });
  return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
  if (cs == nullptr) return;
  cs->impl = new std::recursive_mutex;
  SetOwner(cs, 0);
  cs->recursion = 0;
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
  if (cs == nullptr || cs->impl == nullptr) return;
  const DWORD me = GetCurrentThreadId();
  const DWORD owner = Owner(cs);
  if (owner == me) {
    // Deleted by its owner while held: let go of every level first.
    while (cs->recursion > 0) {
      --cs->recursion;
      LockOf(cs)->unlock();
    }
    SetOwner(cs, 0);
  } else if (owner != 0) {
    // Destroying a mutex another thread holds is undefined; keep it.
    NKDbgPrintfW(u"DeleteCriticalSection: lock held by thread %u, not deleted\r\n", static_cast<unsigned>(owner));
    return;
  }
  delete LockOf(cs);
  cs->impl = nullptr;
}

void EnterCriticalSection(CRITICAL_SECTION* cs) {
  if (cs == nullptr || cs->impl == nullptr) {
    NKDbgPrintfW(u"EnterCriticalSection: lock not initialised\r\n");
    return;
  }
  LockOf(cs)->lock();
  if (cs->recursion++ == 0) SetOwner(cs, GetCurrentThreadId());
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) {
  if (cs == nullptr || cs->impl == nullptr) {
    NKDbgPrintfW(u"LeaveCriticalSection: lock not initialised\r\n");
    return;
  }
  // Only the owner may leave; another thread's leave would corrupt the lock.
  if (Owner(cs) != GetCurrentThreadId()) {
    NKDbgPrintfW(u"LeaveCriticalSection: lock not held by this thread\r\n");
    return;
  }
  if (--cs->recursion == 0) SetOwner(cs, 0);
  LockOf(cs)->unlock();
}

HANDLE CreateEventW(void* /*lpEventAttributes*/, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  std::u16string name;
  if (lpName != nullptr) {
    size_t n = 0;
    while (n <= kMaxEventName && lpName[n] != 0) ++n;
    if (n > kMaxEventName) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    name.assign(lpName, n);
  }
  if (name.empty()) {
    SetLastError(ERROR_SUCCESS);
    return plat::InsertHandle(std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE, name));
  }
  std::shared_ptr<EventObject> event;
  HANDLE h = nullptr;
  bool existed = false;
  {
    EventNames& names = Names();
    std::lock_guard<std::mutex> lock(names.mu);
    auto& slot = names.byName[name];
    event = slot.lock();
    existed = event != nullptr;
    if (!existed) {
      event = std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE, name);
      slot = event;
    }
    h = plat::InsertHandle(event);
  }
  // `event` is released here, outside the names lock: its destructor takes it.
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

BOOL EventModify(HANDLE hEvent, DWORD func) {
  auto event = plat::LookupAs<EventObject>(hEvent);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  switch (func) {
    case EVENT_SET:
      event->Set();
      return TRUE;
    case EVENT_RESET:
      event->Reset();
      return TRUE;
    case EVENT_PULSE:
      event->Pulse();
      return TRUE;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
}

BOOL SetEvent(HANDLE hEvent) { return EventModify(hEvent, EVENT_SET); }
BOOL ResetEvent(HANDLE hEvent) { return EventModify(hEvent, EVENT_RESET); }

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  auto object = plat::LookupAs<Waitable>(hHandle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->Wait(dwMilliseconds);
}

}  // extern "C"

namespace plat {
int RunningThreads() { return g_runningThreads.load(); }
}  // namespace plat

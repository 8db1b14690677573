#include "platform/handles.h"

#include <map>
#include <mutex>

#include "platform/devices.h"
#include "platform/system.h"

namespace plat {
namespace {

struct HandleTable {
  std::mutex mu;
  std::map<uintptr_t, std::shared_ptr<KernelObject>> objects;
  // Multiples of 4 from 0x100 on; 32 bits wide, as the driver stores them.
  uintptr_t next = 0x100;
};

HandleTable& Table() {
  static HandleTable t;
  return t;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mu);
  uintptr_t h = t.next;
  t.next += 4;
  if (t.next >= 0xFFFFFF00u) t.next = 0x100;
  t.objects[h] = std::move(object);
  return reinterpret_cast<HANDLE>(h);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE h) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
  return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE h) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
  if (it == t.objects.end()) return nullptr;
  auto obj = std::move(it->second);
  t.objects.erase(it);
  return obj;
}

}  // namespace plat

extern "C" BOOL CloseHandle(HANDLE h) {
  auto obj = plat::RemoveHandle(h);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return obj->OnClose();
}

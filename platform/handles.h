// Internal to the stand-in: one table for every kind of handle it hands out.
// Handle values grow and are not reused soon after a close, so a stale handle
// fails with ERROR_INVALID_HANDLE instead of reaching another object.
#pragma once

#include <memory>

#include "platform/types.h"

namespace plat {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Called when the handle is closed (once per handle).
  virtual BOOL OnClose() { return TRUE; }
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE h);
// Removes the handle and returns its object (null for an unknown handle).
std::shared_ptr<KernelObject> RemoveHandle(HANDLE h);

template <class T>
std::shared_ptr<T> LookupAs(HANDLE h) {
  return std::dynamic_pointer_cast<T>(LookupHandle(h));
}

}  // namespace plat

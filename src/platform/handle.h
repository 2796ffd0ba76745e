// Opaque handles the platform hands to the core. Each kind of handle is a
// type of its own, so that a file handle can never be passed where a service
// handle is expected; the value 0 means none. Portable header.
#pragma once

#include <compare>
#include <cstdint>

namespace usqz::platform {

template <typename Kind>
class OpaqueHandle {
 public:
  constexpr OpaqueHandle() = default;
  constexpr explicit OpaqueHandle(std::uintptr_t value) : value_(value) {}

  constexpr std::uintptr_t value() const { return value_; }
  constexpr explicit operator bool() const { return value_ != 0; }
  friend constexpr auto operator<=>(OpaqueHandle, OpaqueHandle) = default;

 private:
  std::uintptr_t value_ = 0;
};

// An open file.
using FileHandle = OpaqueHandle<struct FileHandleKind>;
// An open service control manager or service.
using ServiceHandle = OpaqueHandle<struct ServiceHandleKind>;
// A machine-wide lock held by this process.
using LockHandle = OpaqueHandle<struct LockHandleKind>;
// A process this process waits on or may end.
using ProcessHandle = OpaqueHandle<struct ProcessHandleKind>;

// Owns a handle that an interface hands out and takes back through one of
// its operations: given back when the owner goes, whatever the way out.
template <typename Handle, typename Interface, auto GiveBack>
class OwnedHandle {
 public:
  explicit OwnedHandle(Interface& from, Handle handle = {}) : from_(from), handle_(handle) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return static_cast<bool>(handle_); }
  void reset(Handle handle = {}) {
    if (handle_) (from_.*GiveBack)(handle_);
    handle_ = handle;
  }
  // No longer owned: the caller gives it back.
  Handle release() {
    const Handle handle = handle_;
    handle_ = {};
    return handle;
  }

 private:
  Interface& from_;
  Handle handle_;
};

}  // namespace usqz::platform

// Small owners for platform handles, so every path closes what it opened.
#pragma once
#include <windows.h>

template <typename T, typename R, R(WINAPI* Close)(T)>
class Scoped {
 public:
  Scoped() = default;
  explicit Scoped(T h) : h_(h) {}
  ~Scoped() { reset(); }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;

  T get() const { return h_; }
  T* put() {
    reset();
    return &h_;
  }
  explicit operator bool() const { return valid(); }
  bool valid() const { return h_ != T() && h_ != reinterpret_cast<T>(INVALID_HANDLE_VALUE); }
  void reset(T h = T()) {
    if (valid()) Close(h_);
    h_ = h;
  }
  T release() {
    T h = h_;
    h_ = T();
    return h;
  }

 private:
  T h_ = T();
};

using ScopedHandle = Scoped<HANDLE, BOOL, ::CloseHandle>;
using ScopedFind = Scoped<HANDLE, BOOL, ::FindClose>;
using ScopedKey = Scoped<HKEY, LONG, ::RegCloseKey>;

#pragma once

#include <cstddef>
#include <utility>

// Owns one reference of a reference-counted object and drops it when it goes: the end of a
// scope, an early return or a reassignment all release what was held, so no exit path has to
// remember to. `Drop` is the object family's own release function (it destroys the object on
// the last reference). Movable, not copyable: a second owner asks for its own reference with
// Share.
template <class T, class Base, void (*Drop)(Base**)>
class RefHandle {
 public:
  RefHandle() = default;
  // Takes over a reference the caller already holds (a new object's first one, say).
  explicit RefHandle(T* adopted) : object_(adopted) {}
  ~RefHandle() { reset(); }

  RefHandle(RefHandle&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  RefHandle& operator=(RefHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  RefHandle(const RefHandle&) = delete;
  RefHandle& operator=(const RefHandle&) = delete;

  // A handle with a reference of its own on `object` (null stays null).
  static RefHandle Share(T* object) {
    if (object != nullptr) object->AddReference();
    return RefHandle(object);
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  friend bool operator==(const RefHandle& handle, std::nullptr_t) {
    return handle.object_ == nullptr;
  }

  // Hands the reference to the caller, who now releases it.
  [[nodiscard]] T* release() { return std::exchange(object_, nullptr); }

  // Drops the held reference and takes over `adopted`.
  void reset(T* adopted = nullptr) {
    if (object_ != nullptr) {
      Base* holder = object_;
      Drop(&holder);
    }
    object_ = adopted;
  }

 private:
  T* object_ = nullptr;
};

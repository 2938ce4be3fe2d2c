// One owner for a system resource that is not memory: a descriptor, a handle,
// a block the system allocated. The resource is given back on every path when
// its owner goes; ownership moves, it is never shared.
//
// Traits describe the resource:
//   using Value = ...;                  what the system hands out
//   static Value invalid() noexcept;    the value that owns nothing
//   static bool valid(Value) noexcept;  whether a value is owned
//   static bool close(Value) noexcept;  gives it back; false when that failed
#pragma once

#include <utility>

namespace ormid::platform {

template <class Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Value value) noexcept : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  Value get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return Traits::valid(value_); }

  // Gives up ownership without closing.
  [[nodiscard]] Value release() noexcept { return std::exchange(value_, Traits::invalid()); }

  // Closes what is held and takes `value` instead.
  void reset(Value value = Traits::invalid()) noexcept {
    const Value old = std::exchange(value_, value);
    if (Traits::valid(old)) Traits::close(old);
  }

  // Closes now and tells whether closing succeeded, for resources whose close
  // reports something (a written file whose data did not reach the disk).
  bool close() noexcept {
    const Value old = release();
    return !Traits::valid(old) || Traits::close(old);
  }

  // Closes what is held and gives the slot for an out-parameter.
  Value* put() noexcept {
    reset();
    return &value_;
  }

 private:
  Value value_ = Traits::invalid();
};

}  // namespace ormid::platform

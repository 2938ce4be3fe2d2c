// Owning wrappers for automation resources: the thread's apartment, interface
// pointers, VARIANTs and BSTRs. The logic never calls CoUninitialize, Release,
// VariantClear or SysFreeString itself; these types do it on every path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "ormid/com_api.h"

namespace ormid::com {

// OLECHAR is 16 bits wide everywhere (char16_t here, wchar_t on Windows).
static_assert(sizeof(OLECHAR) == sizeof(char16_t));
inline const OLECHAR* ole(const char16_t* text) { return reinterpret_cast<const OLECHAR*>(text); }
inline OLECHAR* ole(char16_t* text) { return reinterpret_cast<OLECHAR*>(text); }
inline const char16_t* u16(const OLECHAR* text) { return reinterpret_cast<const char16_t*>(text); }

// The text of a BSTR; a null BSTR is empty.
inline std::u16string bstrText(BSTR text) {
  return text ? std::u16string(u16(text), SysStringLen(text)) : std::u16string();
}

// COM on the calling thread for as long as it lives: CoInitialize when made,
// CoUninitialize when it goes, but only when the initialisation succeeded.
class Apartment {
 public:
  Apartment() : ok_(SUCCEEDED(CoInitialize(nullptr))) {}
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
  ~Apartment() {
    if (ok_) CoUninitialize();
  }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference on `p`.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { reset(); }

  // Adopts a reference the caller already owns.
  static ComPtr attach(T* p) {
    ComPtr result;
    result.p_ = p;
    return result;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Releases what is held and gives the slot for an out-parameter.
  T** put() {
    reset();
    return &p_;
  }
  void** putVoid() { return reinterpret_cast<void**>(put()); }

  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Gives up ownership without releasing.
  [[nodiscard]] T* detach() { return std::exchange(p_, nullptr); }

  template <class U>
  HRESULT queryInterface(REFIID iid, ComPtr<U>& out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(iid, out.putVoid());
  }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::u16string_view text)
      : b_(SysAllocStringLen(ole(text.data()), static_cast<UINT>(text.size()))) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  Bstr(Bstr&& other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    std::swap(b_, other.b_);
    return *this;
  }
  ~Bstr() { reset(); }

  static Bstr attach(BSTR b) {
    Bstr result;
    result.b_ = b;
    return result;
  }
  BSTR get() const { return b_; }
  BSTR* put() {
    reset();
    return &b_;
  }
  [[nodiscard]] BSTR detach() { return std::exchange(b_, nullptr); }
  void reset() {
    if (BSTR b = std::exchange(b_, nullptr)) SysFreeString(b);
  }
  explicit operator bool() const { return b_ != nullptr; }
  std::u16string str() const { return b_ ? std::u16string(u16(b_), SysStringLen(b_)) : std::u16string(); }

 private:
  BSTR b_ = nullptr;
};

class Variant {
 public:
  Variant() { VariantInit(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
  Variant& operator=(Variant&& other) noexcept {
    if (this != &other) {
      VariantClear(&v_);
      v_ = other.v_;
      VariantInit(&other.v_);
    }
    return *this;
  }
  ~Variant() { VariantClear(&v_); }

  static Variant boolean(bool value) {
    Variant v;
    v.v_.vt = VT_BOOL;
    v.v_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
  }
  static Variant i4(LONG value) {
    Variant v;
    v.v_.vt = VT_I4;
    v.v_.lVal = value;
    return v;
  }
  // VT_BSTR; check ok() for an allocation failure.
  static Variant string(std::u16string_view text) {
    Variant v;
    Bstr b(text);
    if (b) {
      v.v_.vt = VT_BSTR;
      v.v_.bstrVal = b.detach();
    }
    return v;
  }
  // VT_DISPATCH holding a new reference.
  static Variant dispatch(IDispatch* object) {
    Variant v;
    v.v_.vt = VT_DISPATCH;
    v.v_.pdispVal = object;
    if (object) object->AddRef();
    return v;
  }
  // VT_BOOL | VT_BYREF pointing at `target` (not owned).
  static Variant boolRef(VARIANT_BOOL* target) {
    Variant v;
    v.v_.vt = VT_BOOL | VT_BYREF;
    v.v_.pboolVal = target;
    return v;
  }

  VARTYPE type() const { return v_.vt; }
  bool empty() const { return v_.vt == VT_EMPTY; }
  const VARIANT& operator*() const { return v_; }
  const VARIANT* get() const { return &v_; }
  VARIANT* get() { return &v_; }
  // Clears the value and gives the slot for an out-parameter.
  VARIANT* put() {
    VariantClear(&v_);
    return &v_;
  }

  // The held object as IDispatch (VT_DISPATCH), with a new reference.
  ComPtr<IDispatch> dispatchValue() const {
    return v_.vt == VT_DISPATCH ? ComPtr<IDispatch>(v_.pdispVal) : ComPtr<IDispatch>();
  }

 private:
  VARIANT v_;
};

// An advise of a sink on a connection point, undone when it goes.
class AdviseToken {
 public:
  AdviseToken() = default;
  AdviseToken(ComPtr<IConnectionPoint> point, DWORD cookie) : point_(std::move(point)), cookie_(cookie) {}
  AdviseToken(const AdviseToken&) = delete;
  AdviseToken& operator=(const AdviseToken&) = delete;
  AdviseToken(AdviseToken&& other) noexcept
      : point_(std::move(other.point_)), cookie_(std::exchange(other.cookie_, 0)) {}
  AdviseToken& operator=(AdviseToken&& other) noexcept {
    if (this != &other) {
      reset();
      point_ = std::move(other.point_);
      cookie_ = std::exchange(other.cookie_, 0);
    }
    return *this;
  }
  ~AdviseToken() { reset(); }
  void reset() {
    if (point_ && cookie_ != 0) point_->Unadvise(cookie_);
    cookie_ = 0;
    point_.reset();
  }
  // Forgets the advise without undoing it: the process is ending.
  void abandon() {
    cookie_ = 0;
    point_.reset();
  }
  DWORD cookie() const { return cookie_; }
  explicit operator bool() const { return cookie_ != 0; }

 private:
  ComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
};

}  // namespace ormid::com

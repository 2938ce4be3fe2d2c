// The server side of late binding, shared by the automation servers: member
// tables with case-insensitive names, checking a call against a member's
// shape, reading arguments as a late-bound server coerces them, reference
// counting, and calling the sinks advised on a connection point.
#pragma once

#include <atomic>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "ormid/com_ptr.h"

namespace ormid::com {

inline constexpr HRESULT kUnknownInterface = static_cast<HRESULT>(0x80020001);  // DISP_E_UNKNOWNINTERFACE
inline constexpr HRESULT kParamNotFound = static_cast<HRESULT>(0x80020004);     // DISP_E_PARAMNOTFOUND
inline constexpr HRESULT kNoNamedArgs = static_cast<HRESULT>(0x80020007);       // DISP_E_NONAMEDARGS

// Self-deleting reference count; an object starts with one reference, which
// its creator adopts with ComPtr::attach.
template <class Derived>
class RefCounted {
 protected:
  ULONG addRef() { return ++references_; }
  ULONG release() {
    const ULONG left = --references_;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }

 private:
  std::atomic<ULONG> references_{1};
};

enum class MemberKind { readOnly, readWrite, method };

struct Member {
  std::u16string_view name;
  DISPID id;
  MemberKind kind;
  UINT minArgs = 0;  // methods only
  UINT maxArgs = 0;
};

// The member with `id`, or null.
const Member* findMember(std::span<const Member> members, DISPID id);

// GetIDsOfNames over a member table. Names compare without regard to ASCII
// case; no member takes named arguments.
HRESULT lookUpNames(std::span<const Member> members, REFIID iid, LPOLESTR* names, UINT count, DISPID* ids);

// One Invoke, its arguments seen in call order.
class Call {
 public:
  Call(WORD flags, const DISPPARAMS* params, VARIANT* result)
      : flags_(flags), params_(params), result_(result) {}

  // Checks the call kind and the argument count against the member; sets
  // isPut for a property put, whose value is then argument 0.
  HRESULT check(const Member& member, bool& isPut) const;

  UINT count() const { return params_ ? params_->cArgs : 0; }
  // Argument `index` in call order (0 is the first), seen through a
  // VT_VARIANT reference. Only for index < count().
  const VARIANT& arg(UINT index) const;
  // False when the argument is left out (beyond the count, or passed as missing).
  bool has(UINT index) const;

  // Hands a value to the caller when it asked for one.
  void setResult(Variant value) const;

 private:
  WORD flags_;
  const DISPPARAMS* params_;
  VARIANT* result_;
};

// Argument readers; DISP_E_TYPEMISMATCH when the value cannot be taken as asked.
HRESULT readInteger(const VARIANT& value, LONG& out);  // integer types and VT_BOOL
HRESULT readIndex(const VARIANT& value, LONG& out);    // VT_I2, VT_I4, VT_INT
HRESULT readBool(const VARIANT& value, bool& out);     // VT_BOOL and integer types
HRESULT readText(const VARIANT& value, std::u16string& out);

// Invokes an event sink's method with arguments given in call order, as a
// connection point does; the sink's own failure is its business.
void invokeSink(IDispatch* sink, DISPID id, std::span<const VARIANT> argsInCallOrder);

// Runs the body of an automation method so that no exception leaves it.
template <class Body>
HRESULT guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

std::u16string lowerAscii(std::u16string_view text);

}  // namespace ormid::com

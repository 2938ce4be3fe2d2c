#include "ormid/dispatch_server.h"

#include <cstdint>
#include <vector>

namespace ormid::com {
namespace {

char16_t lowerUnit(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool sameName(std::u16string_view a, const OLECHAR* b) {
  std::size_t i = 0;
  for (; i < a.size(); ++i) {
    if (b[i] == 0 || lowerUnit(a[i]) != lowerUnit(static_cast<char16_t>(b[i]))) return false;
  }
  return b[i] == 0;
}

bool isMissing(const VARIANT& value) { return value.vt == VT_ERROR && value.scode == kParamNotFound; }

// The scalar a value holds directly or by reference; null for other types.
template <class T>
const T* scalar(const VARIANT& value, VARTYPE type) {
  if (value.vt == type) return reinterpret_cast<const T*>(&value.lVal);
  if (value.vt == (type | VT_BYREF) && value.byref) return static_cast<const T*>(value.byref);
  return nullptr;
}

}  // namespace

std::u16string lowerAscii(std::u16string_view text) {
  std::u16string result(text);
  for (char16_t& c : result) c = lowerUnit(c);
  return result;
}

const Member* findMember(std::span<const Member> members, DISPID id) {
  for (const Member& member : members) {
    if (member.id == id) return &member;
  }
  return nullptr;
}

HRESULT lookUpNames(std::span<const Member> members, REFIID iid, LPOLESTR* names, UINT count, DISPID* ids) {
  if (!(iid == IID_NULL)) return kUnknownInterface;
  if (count == 0) return S_OK;
  if (!names || !ids) return E_POINTER;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  HRESULT result = DISP_E_UNKNOWNNAME;
  if (names[0]) {
    for (const Member& member : members) {
      if (sameName(member.name, names[0])) {
        ids[0] = member.id;
        result = S_OK;
        break;
      }
    }
  }
  // The further names would be named arguments, which no member takes.
  if (count > 1) result = DISP_E_UNKNOWNNAME;
  return result;
}

HRESULT Call::check(const Member& member, bool& isPut) const {
  isPut = false;
  const UINT named = params_ ? params_->cNamedArgs : 0;
  if (member.kind != MemberKind::method) {
    if (flags_ & DISPATCH_PROPERTYGET) {
      if (named != 0) return kNoNamedArgs;
      return count() == 0 ? S_OK : DISP_E_BADPARAMCOUNT;
    }
    if (member.kind == MemberKind::readWrite && (flags_ & DISPATCH_PROPERTYPUT)) {
      if (count() != 1) return DISP_E_BADPARAMCOUNT;
      if (named != 1 || !params_->rgdispidNamedArgs || params_->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
        return kParamNotFound;
      }
      if (!params_->rgvarg) return E_POINTER;
      isPut = true;
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }
  if (!(flags_ & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  if (named != 0) return kNoNamedArgs;
  if (count() < member.minArgs || count() > member.maxArgs) return DISP_E_BADPARAMCOUNT;
  if (count() > 0 && !params_->rgvarg) return E_POINTER;
  return S_OK;
}

const VARIANT& Call::arg(UINT index) const {
  const VARIANT& value = params_->rgvarg[params_->cArgs - 1 - index];
  if (value.vt == (VT_VARIANT | VT_BYREF) && value.pvarVal) return *value.pvarVal;
  return value;
}

bool Call::has(UINT index) const { return index < count() && !isMissing(arg(index)); }

void Call::setResult(Variant value) const {
  if (!result_) return;
  // An out-parameter: overwritten, not cleared first.
  *result_ = *value.get();
  VariantInit(value.get());
}

HRESULT readIndex(const VARIANT& value, LONG& out) {
  if (auto p = scalar<LONG>(value, VT_I4)) {
    out = *p;
  } else if (auto p = scalar<INT>(value, VT_INT)) {
    out = *p;
  } else if (auto p = scalar<std::int16_t>(value, VT_I2)) {
    out = *p;
  } else {
    return DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

HRESULT readInteger(const VARIANT& value, LONG& out) {
  if (SUCCEEDED(readIndex(value, out))) return S_OK;
  if (auto p = scalar<VARIANT_BOOL>(value, VT_BOOL)) {
    out = *p;
  } else if (auto p = scalar<std::int8_t>(value, VT_I1)) {
    out = *p;
  } else if (auto p = scalar<std::uint8_t>(value, VT_UI1)) {
    out = *p;
  } else if (auto p = scalar<std::uint16_t>(value, VT_UI2)) {
    out = *p;
  } else if (value.vt == VT_UI4 || value.vt == VT_UINT) {
    if (value.ulVal > 0x7FFFFFFFu) return DISP_E_TYPEMISMATCH;  // an overflow, as the coercion reports it
    out = static_cast<LONG>(value.ulVal);
  } else {
    return DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

HRESULT readBool(const VARIANT& value, bool& out) {
  LONG number = 0;
  const HRESULT hr = readInteger(value, number);
  if (SUCCEEDED(hr)) out = number != 0;
  return hr;
}

HRESULT readText(const VARIANT& value, std::u16string& out) {
  const BSTR* text = scalar<BSTR>(value, VT_BSTR);
  if (!text) return DISP_E_TYPEMISMATCH;
  out = *text ? std::u16string(u16(*text), SysStringLen(*text)) : std::u16string();
  return S_OK;
}

void invokeSink(IDispatch* sink, DISPID id, std::span<const VARIANT> argsInCallOrder) {
  // The arguments travel last first, in an array of the sink's own.
  std::vector<VARIANT> reversed(argsInCallOrder.rbegin(), argsInCallOrder.rend());
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()),
                    0};
  sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
}

}  // namespace ormid::com

// BSTR and VARIANT functions with the memory layout of the Windows ones.
//
// A BSTR points just past a 32-bit byte count and is followed by a NUL code
// unit. Storage comes from malloc/free so that every copy of this runtime (the
// host's and the one linked into a server module) frees what another allocated.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "ormid/com_api.h"

namespace {

constexpr HRESULT kBadVarType = static_cast<HRESULT>(0x80020008);  // DISP_E_BADVARTYPE

using ByteCount = std::uint32_t;

char* storageOf(BSTR text) { return reinterpret_cast<char*>(text) - sizeof(ByteCount); }

// Reads the leading bytes of the value union as T (for the members the
// VARIANT declaration here leaves out, such as the 8-bit ones).
template <class T>
T unionValue(const VARIANT& value) {
  T result;
  std::memcpy(&result, &value.lVal, sizeof(T));
  return result;
}

bool ownsNothing(VARTYPE type) {
  switch (type) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_ERROR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

BSTR allocDecimal(long long value) {
  std::string digits = std::to_string(value);
  std::u16string wide(digits.begin(), digits.end());
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// The text of `source`, or DISP_E_TYPEMISMATCH for a type without one.
HRESULT toText(const VARIANT& source, BSTR* text) {
  switch (source.vt) {
    case VT_BSTR:
      *text = source.bstrVal ? SysAllocStringLen(source.bstrVal, SysStringLen(source.bstrVal))
                             : SysAllocStringLen(u"", 0);
      break;
    case VT_EMPTY:
      *text = SysAllocStringLen(u"", 0);
      break;
    case VT_I1:
      *text = allocDecimal(unionValue<std::int8_t>(source));
      break;
    case VT_UI1:
      *text = allocDecimal(unionValue<std::uint8_t>(source));
      break;
    case VT_I2:
      *text = allocDecimal(source.iVal);
      break;
    case VT_UI2:
      *text = allocDecimal(unionValue<std::uint16_t>(source));
      break;
    case VT_I4:
      *text = allocDecimal(source.lVal);
      break;
    case VT_INT:
      *text = allocDecimal(source.intVal);
      break;
    case VT_UI4:
    case VT_UINT:
      *text = allocDecimal(source.ulVal);
      break;
    case VT_BOOL:
      *text = source.boolVal ? SysAllocString(u"True") : SysAllocString(u"False");
      break;
    default:
      return DISP_E_TYPEMISMATCH;
  }
  return *text ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  constexpr std::size_t kMaxLength =
      (std::numeric_limits<ByteCount>::max() - sizeof(ByteCount) - sizeof(OLECHAR)) / sizeof(OLECHAR);
  if (length > kMaxLength) return nullptr;
  const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
  char* storage = static_cast<char*>(std::malloc(sizeof(ByteCount) + bytes + sizeof(OLECHAR)));
  if (!storage) return nullptr;
  const ByteCount count = static_cast<ByteCount>(bytes);
  std::memcpy(storage, &count, sizeof count);
  BSTR result = reinterpret_cast<BSTR>(storage + sizeof(ByteCount));
  if (text) {
    std::memcpy(result, text, bytes);
  } else {
    std::memset(result, 0, bytes);
  }
  result[length] = 0;
  return result;
}

BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  if (length > std::numeric_limits<UINT>::max()) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

void SysFreeString(BSTR text) {
  if (text) std::free(storageOf(text));
}

UINT SysStringLen(BSTR text) {
  if (!text) return 0;
  ByteCount count;
  std::memcpy(&count, storageOf(text), sizeof count);
  return count / sizeof(OLECHAR);
}

void VariantInit(VARIANTARG* value) {
  if (value) std::memset(value, 0, sizeof(VARIANTARG));
}

HRESULT VariantClear(VARIANTARG* value) {
  if (!value) return E_INVALIDARG;
  // Take the value out first: a Release below may run code that looks at it.
  VARIANT old = *value;
  if (!(old.vt & VT_BYREF) && old.vt != VT_BSTR && old.vt != VT_DISPATCH && old.vt != VT_UNKNOWN &&
      !ownsNothing(old.vt)) {
    return kBadVarType;
  }
  VariantInit(value);
  if (old.vt == VT_BSTR) {
    SysFreeString(old.bstrVal);
  } else if ((old.vt == VT_DISPATCH || old.vt == VT_UNKNOWN) && old.punkVal) {
    old.punkVal->Release();
  }
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* destination, const VARIANTARG* source) {
  if (!destination || !source) return E_INVALIDARG;
  if (destination == source) return S_OK;
  VARIANT copy = *source;
  if (source->vt == VT_BSTR && source->bstrVal) {
    copy.bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  } else if (source->vt == VT_DISPATCH || source->vt == VT_UNKNOWN) {
    if (copy.punkVal) copy.punkVal->AddRef();
  } else if (!(source->vt & VT_BYREF) && !ownsNothing(source->vt)) {
    return kBadVarType;
  }
  const HRESULT cleared = VariantClear(destination);
  if (FAILED(cleared)) {
    VariantClear(&copy);
    return cleared;
  }
  *destination = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* destination, const VARIANTARG* source, WORD /*flags*/, VARTYPE type) {
  if (!destination || !source) return E_INVALIDARG;
  if (type != VT_BSTR) {
    return type == source->vt ? VariantCopy(destination, source) : DISP_E_TYPEMISMATCH;
  }
  BSTR text = nullptr;
  const HRESULT converted = toText(*source, &text);
  if (FAILED(converted)) return converted;
  // The source may be the destination: it is cleared only once the text is made.
  VariantClear(destination);
  destination->vt = VT_BSTR;
  destination->bstrVal = text;
  return S_OK;
}

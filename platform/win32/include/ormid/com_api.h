// COM and OLE Automation on Windows: the system's own headers. The shared
// automation code is written against the names declared here (IDispatch,
// VARIANT with its nameless unions, DISPPARAMS, the IIDs, HRESULT codes and the
// Sys*/Variant*/Co* functions), which the other platforms' copy of this header
// reproduces.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
// windows.h must come first.
#include <oaidl.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

// The shared code passes the source of a copy or conversion as const, as the
// system's documentation declares it; mingw-w64 declares it without const.
inline HRESULT VariantChangeType(VARIANTARG* destination, const VARIANTARG* source, USHORT flags,
                                 VARTYPE type) {
  return ::VariantChangeType(destination, const_cast<VARIANTARG*>(source), flags, type);
}
inline HRESULT VariantCopy(VARIANTARG* destination, const VARIANTARG* source) {
  return ::VariantCopy(destination, const_cast<VARIANTARG*>(source));
}

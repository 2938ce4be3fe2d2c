// The edges of the shared IDispatch plumbing that the servers' own tests do
// not reach: named arguments, missing and by-reference arguments, overflow.
#include "ormid/dispatch_server.h"

#include <gtest/gtest.h>

#include <string>

namespace ormid::com {
namespace {

constexpr Member kMembers[] = {
    {u"Count", 1, MemberKind::readOnly},
    {u"Visible", 2, MemberKind::readWrite},
    {u"Close", 3, MemberKind::method, 0, 3},
};

TEST(DispatchServer, NamesIgnoreCaseAndNamedArgumentsAreUnknown) {
  Bstr name(u"vISIBLE"), named(u"SaveChanges"), prefix(u"Clos");
  LPOLESTR names[] = {name.get(), named.get()};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(lookUpNames(kMembers, IID_NULL, names, 1, ids), S_OK);
  EXPECT_EQ(ids[0], 2);
  // The member is still found, so that a caller can fall back to positions.
  EXPECT_EQ(lookUpNames(kMembers, IID_NULL, names, 2, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 2);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  EXPECT_EQ(lookUpNames(kMembers, IID_IDispatch, names, 1, ids), kUnknownInterface);
  names[0] = prefix.get();
  EXPECT_EQ(lookUpNames(kMembers, IID_NULL, names, 1, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
}

TEST(DispatchServer, CallsAreCheckedAgainstTheMember) {
  VARIANT args[4] = {};
  DISPID put = DISPID_PROPERTYPUT;
  const struct {
    DISPID member;
    WORD flags;
    UINT count;
    bool named;
    HRESULT hr;
  } cases[] = {
      {1, DISPATCH_METHOD | DISPATCH_PROPERTYGET, 0, false, S_OK},
      {1, DISPATCH_PROPERTYGET, 1, false, DISP_E_BADPARAMCOUNT},
      {1, DISPATCH_PROPERTYGET, 0, true, kNoNamedArgs},
      {1, DISPATCH_PROPERTYPUT, 1, true, DISP_E_MEMBERNOTFOUND},
      {2, DISPATCH_PROPERTYPUT, 1, true, S_OK},
      {2, DISPATCH_PROPERTYPUT, 1, false, kParamNotFound},  // a put names its value
      {3, DISPATCH_METHOD, 4, false, DISP_E_BADPARAMCOUNT},
      {3, DISPATCH_METHOD, 1, true, kNoNamedArgs},
      {3, DISPATCH_PROPERTYGET, 0, false, DISP_E_MEMBERNOTFOUND},
  };
  for (const auto& c : cases) {
    DISPPARAMS params{args, c.named ? &put : nullptr, c.count, c.named ? 1u : 0u};
    bool isPut = false;
    EXPECT_EQ(Call(c.flags, &params, nullptr).check(*findMember(kMembers, c.member), isPut), c.hr)
        << "member " << c.member << " flags " << c.flags << " count " << c.count;
    EXPECT_EQ(isPut, c.hr == S_OK && c.member == 2);
  }
}

TEST(DispatchServer, ArgumentsAreReadInCallOrderThroughReferences) {
  // A caller's (-1, &7, &&true, missing), last first in rgvarg.
  VARIANT rgvarg[4] = {}, inner = {};
  LONG seven = 7;
  inner.vt = VT_BOOL;
  inner.boolVal = VARIANT_TRUE;
  rgvarg[3].vt = VT_I2;
  rgvarg[3].iVal = -1;
  rgvarg[2].vt = VT_I4 | VT_BYREF;
  rgvarg[2].byref = &seven;
  rgvarg[1].vt = VT_VARIANT | VT_BYREF;
  rgvarg[1].pvarVal = &inner;
  rgvarg[0].vt = VT_ERROR;
  rgvarg[0].scode = kParamNotFound;
  DISPPARAMS params{rgvarg, nullptr, 4, 0};
  const Call call(DISPATCH_METHOD, &params, nullptr);
  LONG value = 0;
  bool flag = false;
  std::u16string text;
  EXPECT_TRUE(readInteger(call.arg(0), value) == S_OK && value == -1);
  EXPECT_TRUE(readIndex(call.arg(1), value) == S_OK && value == 7);
  EXPECT_TRUE(readBool(call.arg(2), flag) == S_OK && flag);
  EXPECT_EQ(readIndex(call.arg(2), value), DISP_E_TYPEMISMATCH);  // an index is never a boolean
  EXPECT_EQ(readText(call.arg(0), text), DISP_E_TYPEMISMATCH);
  EXPECT_TRUE(call.has(2));
  EXPECT_FALSE(call.has(3));  // passed as missing
  EXPECT_FALSE(call.has(4));  // beyond the count
  VARIANT big = {};
  big.vt = VT_UI4;
  big.ulVal = 0x80000000u;
  EXPECT_EQ(readInteger(big, value), DISP_E_TYPEMISMATCH);  // overflows a LONG
}

}  // namespace
}  // namespace ormid::com

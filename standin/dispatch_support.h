// The stand-in's names for the IDispatch plumbing it shares with the office
// module (ormid/dispatch_server.h).
#pragma once

#include "ormid/dispatch_server.h"

namespace ormid::standin {

using com::Call;
using com::ComPtr;
using com::findMember;
using com::guarded;
using com::invokeSink;
using com::kNoNamedArgs;
using com::kParamNotFound;
using com::kUnknownInterface;
using com::lookUpNames;
using com::lowerAscii;
using com::Member;
using com::MemberKind;
using com::readBool;
using com::readIndex;
using com::readInteger;
using com::readText;
using com::RefCounted;
using com::Variant;

}  // namespace ormid::standin

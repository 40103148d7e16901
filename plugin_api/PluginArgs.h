#pragma once
// The bridge between the contract's VARIANT and the program's TKVVariant, and the raising argument
// routines a module uses inside CallFunction, Validate and ApplyConfirmation. Unlike PluginAPI.h this
// needs the foundation sources (KVVariant, KVExceptions, KVConvert, KVDateTime and what they use), which
// the host links and DabrixPlugin compiles into itself.
#include <string>

#include "foundation/KVVariant.h"
#include "plugin_api/PluginAPI.h"

// A copy of *v. VT_BSTR becomes a wide string, VT_KVSTRING an 8-bit string, VT_CY currency, VT_DATE a
// date-time, VT_UI1 a byte. A null pointer gives Empty. Any other type raises EKVException.
TKVVariant PluginVariantToKV(const VARIANT* v);

// Clears *dest and stores `value`. Strings of either kind become VT_BSTR, or VT_KVSTRING when
// `hostStrings` (only the host passes strings that way; a module always writes VT_BSTR). Integers that do
// not fit an int32 become VT_R8; byte arrays become strings of their bytes.
void PluginVariantFromKV(VARIANT* dest, const TKVVariant& value, bool hostStrings = false);

// The value of argument `index` of Args. Raises EKVException (routine "GetArgValue") when Args does not
// answer IKVGetIntfByIndex, and EKVHrException "Unable to get interface {IID} for item \"index\": ..."
// (routine "GetArgValue") when GetIntfByIndex fails.
TKVVariant GetArgValue(IUnknown* Args, int index);
// The same, converted with the program's variant conversions (which raise on impossible conversions).
std::string GetArgValueAsString(IUnknown* Args, int index);
int32_t GetArgValueAsInt32(IUnknown* Args, int index);
bool GetArgValueAsBoolean(IUnknown* Args, int index);
// Stores `value` into argument `index` (routine name "SetArgValue" in its errors, as above).
void SetArgValue(IUnknown* Args, int index, const TKVVariant& value);

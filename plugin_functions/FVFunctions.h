#pragma once
// The sixteen field value functions of DabrixPlugin, one class each, in the order the root enumerator
// hands them out. Their ids are stored in saved documents and must never change; their texts are what
// the user sees in the function list and the argument panel.
//
// Common rules: CallFunction leaves an Empty or NULL value alone unless the function says otherwise;
// functions that write text write VT_BSTR; "whitespace" is blank, tab, line feed and carriage return;
// character sets test membership by character code, case-sensitively; upper-casing touches a-z only;
// positions are 1-based.
#include <functional>
#include <vector>

#include "plugin_functions/FVFunctionBase.h"

#define FV_FUNCTION_CLASS(Name)                               \
  class Name : public TFVFunctionBase {                       \
   public:                                                    \
    Name();                                                   \
                                                              \
   protected:                                                 \
    void Call(VARIANT& value, IUnknown* args) const override; \
    void Check(IUnknown* args) const override;                \
  };

// Characters of argument 0 become the character at the same place in argument 1; those without a
// counterpart stay. Asks (IKVQXFVFConfirm) whether to drop the surplus characters of argument 0.
class TFVFReplaceChars : public TFVFunctionBase, public IKVQXFVFConfirm {
 public:
  TFVFReplaceChars();
  PLUGIN_IUNKNOWN_METHODS
  // 4: the question is meant as Yes/No.
  int32_t ConfirmStyle() noexcept override;
  // Answer 6 (Yes) shortens argument 0 to the length of argument 1; any other answer leaves the
  // arguments and warns that the surplus characters are ignored.
  int32_t ApplyConfirmation(int32_t Answer, IUnknown* Args, char* Buffer, int32_t BufSize,
                            int32_t* Severity) noexcept override;

 protected:
  void* FindInterface(const GUID& iid) noexcept override;
  void Call(VARIANT& value, IUnknown* args) const override;
  void Check(IUnknown* args) const override;

 private:
  void ApplyAnswer(int32_t answer, IUnknown* args) const;
};

FV_FUNCTION_CLASS(TFVFTrimChars)
FV_FUNCTION_CLASS(TFVFDeleteChars)
FV_FUNCTION_CLASS(TFVFMakeNumber)
FV_FUNCTION_CLASS(TFVFReplaceNulls)
// Any value becomes a random text; the length is drawn from [min, max) (exactly min when max <= min).
FV_FUNCTION_CLASS(TFVFRandomString)
// Adds the prefix; nothing is ever added at the end despite the name, which users know it by.
FV_FUNCTION_CLASS(TFVFPrefixPostfix)
FV_FUNCTION_CLASS(TFVFExtractHouseNo)
FV_FUNCTION_CLASS(TFVFExtractStreetName)
// Uses the module's regular-expression dialect (KVRegExp.h); a bad pattern is an error of CallFunction,
// Validate never compiles it.
FV_FUNCTION_CLASS(TFVFSetIfRegExMatch)
FV_FUNCTION_CLASS(TFVFRemoveWords)
FV_FUNCTION_CLASS(TFVFKeepWords)
FV_FUNCTION_CLASS(TFVFNow)
FV_FUNCTION_CLASS(TFVFNthWord)
FV_FUNCTION_CLASS(TFVFSubString)
// A value in which the pattern finds no match stays exactly as it was (type included); only a value
// whose matches were all replaced by nothing becomes NULL.
FV_FUNCTION_CLASS(TFVFRegExReplace)

#undef FV_FUNCTION_CLASS

// Creates one new object of each function class, in enumeration order, and hands each to `receiver`
// with one reference the receiver must release. An object whose construction fails is skipped.
void FVCreateFunctions(const std::function<void(TFVFunctionBase*)>& receiver);

// Random String never makes a text longer than this (an absurd minimum length would otherwise exhaust
// memory); a longer request is an error of CallFunction.
constexpr int32_t kFVMaxRandomLength = 16 * 1024 * 1024;

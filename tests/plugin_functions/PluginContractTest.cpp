// DabrixPlugin.qxp through the binary contract: export, enumeration, texts, defaults, validation and the
// way errors leave CallFunction.
#include <cstdio>
#include <cstring>
#include <set>

#include "PluginTestHost.h"

using namespace plugintest;

namespace {

GUID ParseGuid(const char* text) {
  GUID g{};
  unsigned d[11];
  std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5], &d[6], &d[7],
              &d[8], &d[9], &d[10]);
  g.Data1 = d[0];
  g.Data2 = static_cast<uint16_t>(d[1]);
  g.Data3 = static_cast<uint16_t>(d[2]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(d[3 + i]);
  return g;
}

struct TExpectedFunction {
  const char* Id;
  const char* Name;
  std::vector<std::pair<const char*, VARTYPE>> Params;
};

const std::vector<TExpectedFunction> kTable = {
    {"{91106769-BF7F-4c32-85D4-309112F50836}",
     "Replace Characters",
     {{"Characters", VT_BSTR}, {"Replacements", VT_BSTR}}},
    {"{23AFD3B4-B47B-4ff7-BBE7-D5F5A386BA47}",
     "Trim Characters",
     {{"Characters", VT_BSTR},
      {"Trim characters NOT specified", VT_BOOL},
      {"Trim only the left side of the string", VT_BOOL},
      {"Trim only the right side of the string", VT_BOOL}}},
    {"{A646CBBA-C427-406d-84C4-164EF00406AF}",
     "Remove Characters",
     {{"Characters", VT_BSTR}, {"Remove characters NOT in first parameter", VT_BOOL}}},
    {"{D9420A22-8F39-11d6-A5E4-00E0987755DD}", "Make Number", {{"Default Value", VT_BSTR}}},
    {"{1893AAF8-1A98-464a-AC5E-78EA05EBCCD8}",
     "Replace NULL Values",
     {{"NULL Replacement", VT_BSTR}, {"Treat empty \"\" strings as NULL values", VT_BOOL}}},
    {"{DEF8510F-D1CB-4e7f-95C7-FF6EC4609A9E}",
     "Random String",
     {{"Minimum length", VT_I4},
      {"Maximum length", VT_I4},
      {"First char upper case", VT_BOOL},
      {"All chars upper case", VT_BOOL},
      {"Only Digits", VT_BOOL}}},
    {"{348FBC81-05D7-406f-9870-5CBBB59C540C}",
     "Prefix & Postfix",
     {{"Prefix", VT_BSTR}, {"Prevent Prefix", VT_BSTR}, {"Ignore Case", VT_BOOL}}},
    {"{79ECC862-CBA4-487e-8437-4306E0C15A4E}", "Extract House No", {}},
    {"{B78A1732-DB14-4393-8DF3-E15CB14F118B}", "Extract Street Name", {}},
    {"{93D899E9-7020-4B94-A1C0-63DBB05E585F}",
     "Set if regEx match",
     {{"Regular expression", VT_BSTR},
      {"New value", VT_BSTR},
      {"Set new value if the value does NOT match the regular expression", VT_BOOL}}},
    {"{946566FB-6DA6-4503-9EFC-2CC5F14D92DF}",
     "Remove Words",
     {{"Words", VT_BSTR}, {"Word separators", VT_BSTR}, {"Ignore Case", VT_BOOL}}},
    {"{431193E0-DEE6-4a0f-B9F8-17A7EF3401EE}",
     "Keep Words",
     {{"Words", VT_BSTR}, {"Word separators", VT_BSTR}, {"Ignore Case", VT_BOOL}}},
    {"{7CB478BF-5F1C-4F15-BEF1-DB9FACEAC1B6}", "Now", {}},
    {"{1B5C4E52-173F-47AC-9A6D-04640294071F}", "n'th word", {{"Word number", VT_I4}, {"Word separators", VT_BSTR}}},
    {"{4408B08F-D5C2-428E-A326-67AF20851195}", "Substring", {{"Start position", VT_I4}, {"Length", VT_I4}}},
    {"{6CE005AB-6B1B-4175-A385-90E642229A5B}",
     "RegEx Replace",
     {{"Regular expression", VT_BSTR},
      {"Replacement", VT_BSTR},
      {"Expand replacement string before using it", VT_BOOL}}},
};

}  // namespace

using PluginExportTest = PluginFixture;

TEST_F(PluginExportTest, OnlyTheEnumeratorClassIsServedAndRefusedInterfacesCreateNothing) {
  const GUID other = ParseGuid("{00000000-0000-0000-0000-000000000001}");
  void* obj = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(TModule::Get().Create(&other, &IKVEnumObjects::IID, &obj), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(obj, reinterpret_cast<void*>(0x1234)) << "*Obj must stay untouched";

  obj = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(TModule::Get().Create(&FVFEnumeratorClassId, &IKVQXFVFunction::IID, &obj), E_NOINTERFACE);
  EXPECT_EQ(obj, nullptr);

  TPluginPtr<IUnknown> root;
  ASSERT_EQ(TModule::Get().Create(&FVFEnumeratorClassId, &IUnknown::IID, root.out()), S_OK);
  EXPECT_TRUE(PluginQuery<IKVEnumObjects>(root.get()));
}

TEST_F(PluginExportTest, EnumerationHandsOutTheSixteenFunctionsInTableOrderWithTheirParameters) {
  std::vector<TFunctionInfo> fns = TModule::Get().Functions();
  ASSERT_EQ(fns.size(), kTable.size());
  for (size_t i = 0; i < fns.size(); ++i) {
    SCOPED_TRACE(kTable[i].Name);
    EXPECT_EQ(fns[i].Name, kTable[i].Name);
    EXPECT_TRUE(PluginSameGuid(fns[i].Id, ParseGuid(kTable[i].Id)));
    ASSERT_EQ(fns[i].Params.size(), kTable[i].Params.size());
    for (size_t p = 0; p < fns[i].Params.size(); ++p) {
      EXPECT_EQ(fns[i].Params[p].Name, kTable[i].Params[p].first);
      EXPECT_EQ(fns[i].Params[p].Default.vt(), kTable[i].Params[p].second);
    }
  }
  EXPECT_EQ(fns[0].Description,
            "Replace all characters contained in the first parameter by the corresponing character in the second "
            "parameter");
  EXPECT_EQ(fns[7].Description, "Extract the house number from a full street address");
  // Defaults whose exact value matters to users.
  EXPECT_EQ(ToUtf8(*fns[1].Params[0].Default.get()), " \t\n\r");
  EXPECT_EQ(ToUtf8(*fns[4].Params[0].Default.get()), "?");
  EXPECT_EQ(fns[4].Params[1].Default.get()->boolVal, VARIANT_TRUE);
  EXPECT_EQ(fns[5].Params[0].Default.get()->lVal, 5);
  EXPECT_EQ(fns[5].Params[1].Default.get()->lVal, 10);
  EXPECT_EQ(ToUtf8(*fns[6].Params[0].Default.get()), "\"");
  EXPECT_EQ(ToUtf8(*fns[9].Params[1].Default.get()), "<Null>");
  EXPECT_EQ(fns[13].Params[0].Default.get()->lVal, 1);
  EXPECT_EQ(fns[14].Params[1].Default.get()->lVal, 10);
  EXPECT_EQ(ToUtf8(*fns[15].Params[0].Default.get()), ".*");
  EXPECT_EQ(fns[3].Params[0].Description, "Value if the String doesn't contain any digit");
  EXPECT_EQ(fns[1].Params[1].Description, "");
}

TEST_F(PluginExportTest, EnumerationServesOnlyKindZeroAndReceiversWithTheCallback) {
  TPluginPtr<IKVEnumObjects> root;
  ASSERT_EQ(TModule::Get().Create(&FVFEnumeratorClassId, &IKVEnumObjects::IID, root.out()), S_OK);
  TOwned<TCollector> collector;
  root->EnumObjects(1, collector->Unknown(), 0);
  EXPECT_TRUE(collector->Objects.empty());
  root->EnumObjects(0, nullptr, 0);
  // A receiver without IKVEnumCallback: an argument list.
  TOwned<TTestArgs> notACallback;
  root->EnumObjects(0, notACallback->Unknown(), 0);
  root->EnumObjects(0, collector->Unknown(), 77);
  EXPECT_EQ(collector->Objects.size(), 16u);
  EXPECT_EQ(collector->LastData, 77);
  EXPECT_EQ(collector->LastKind, 0);
  // Sender is the root's own IUnknown.
  TPluginPtr<IUnknown> rootUnknown = PluginQuery<IUnknown>(root.get());
  EXPECT_EQ(collector->LastSender, rootUnknown.get());

  // Function objects are new on every enumeration.
  TOwned<TCollector> again;
  root->EnumObjects(0, again->Unknown(), 0);
  EXPECT_NE(again->Objects[0].get(), collector->Objects[0].get());

  // A function lists its parameters for Kind 0 only.
  TPluginPtr<IKVEnumObjects> fn = PluginQuery<IKVEnumObjects>(collector->Objects[0].get());
  TOwned<TCollector> params;
  fn->EnumObjects(3, params->Unknown(), 0);
  EXPECT_TRUE(params->Objects.empty());
  fn->EnumObjects(0, params->Unknown(), 0);
  EXPECT_EQ(params->Objects.size(), 2u);
  EXPECT_EQ(params->LastSender, collector->Objects[0].get());
}

TEST_F(PluginExportTest, StringBufferProtocolTruncatesAndNeverOverwrites) {
  IKVQXFVFunction* f = Fn("Make Number").Function.get();
  EXPECT_EQ(f->GetName(nullptr, 0), 12);  // "Make Number" + terminator
  char buf[8];
  std::memset(buf, 'X', sizeof buf);
  EXPECT_EQ(f->GetName(buf, 5), 5);
  EXPECT_STREQ(buf, "Make");
  EXPECT_EQ(buf[5], 'X');
  EXPECT_EQ(f->GetName(buf, 1), 1);
  EXPECT_EQ(buf[0], '\0');

  // An empty description costs one call: the first result is 1.
  TPluginPtr<IKVEnumObjects> en = PluginQuery<IKVEnumObjects>(Fn("Trim Characters").Function.get());
  TOwned<TCollector> params;
  en->EnumObjects(0, params->Unknown(), 0);
  TPluginPtr<IKVQXFVFParameter> p = PluginQuery<IKVQXFVFParameter>(params->Objects[1].get());
  EXPECT_EQ(p->GetDescription(nullptr, 0), 1);
  p->GetDefaultValue(nullptr);  // must not crash

  GUID id{};
  f->GetId(nullptr);
  f->GetId(&id);
  EXPECT_TRUE(PluginSameGuid(id, ParseGuid("{D9420A22-8F39-11d6-A5E4-00E0987755DD}")));
}

TEST_F(PluginExportTest, ParametersOutliveTheirFunction) {
  TPluginPtr<IKVQXFVFParameter> p;
  {
    std::vector<TFunctionInfo> fns = TModule::Get().Functions();
    TPluginPtr<IKVEnumObjects> en = PluginQuery<IKVEnumObjects>(fns[5].Function.get());
    TOwned<TCollector> params;
    en->EnumObjects(0, params->Unknown(), 0);
    p = PluginQuery<IKVQXFVFParameter>(params->Objects[0].get());
  }
  EXPECT_EQ(PluginReadString([&](char* b, int32_t n) { return p->GetName(b, n); }), "Minimum length");
}

// --- Validation ------------------------------------------------------------------------------------------
using PluginValidateTest = PluginFixture;

TEST_F(PluginValidateTest, MissingArgsIsAnErrorOnlyForFunctionsWithChecks) {
  const std::set<std::string> withChecks = {"Replace Characters", "Trim Characters",    "Remove Characters",
                                            "Random String",      "Set if regEx match", "RegEx Replace"};
  for (auto& [name, f] : m_ByName) {
    SCOPED_TRACE(name);
    TValidation v = Validate(f.Function.get(), nullptr);
    if (withChecks.count(name)) {
      EXPECT_EQ(v.Message, "No Arguments passed for validation");
      EXPECT_EQ(v.Severity, 4);
    } else {
      EXPECT_EQ(v.Message, "");
      EXPECT_EQ(v.Severity, 0);
    }
  }
}

TEST_F(PluginValidateTest, ChecksReportTheirWarningsAndErrors) {
  EXPECT_EQ(Validate("Trim Characters", {Text("")}).Message, "No charachters specified to be trimmed");
  EXPECT_EQ(Validate("Trim Characters", {Text("")}).Severity, 3);
  EXPECT_EQ(Validate("Trim Characters").Severity, 0);
  EXPECT_EQ(Validate("Remove Characters").Message, "No charachters specified to be removed");
  EXPECT_EQ(Validate("Set if regEx match", {Text("")}).Message, "The regular expression cannot be empty");
  EXPECT_EQ(Validate("RegEx Replace", {Text("")}).Severity, 3);
  // A pattern that does not compile is only found when the function runs.
  EXPECT_EQ(Validate("RegEx Replace", {Text("a|b")}).Severity, 0);

  TValidation r = Validate("Random String", {Int(7), Int(5)});
  EXPECT_EQ(r.Message, "Minimum length (7) must be less than or equal to the maximum length (5)");
  EXPECT_EQ(r.Severity, 4);
  EXPECT_EQ(Validate("Random String", {Int(5), Int(5)}).Severity, 0);
  // An argument the check cannot read is an error, not a crash.
  r = Validate("Random String", {Text("many")});
  EXPECT_EQ(r.Severity, 4);
  EXPECT_FALSE(r.Message.empty());
}

TEST_F(PluginValidateTest, ReplaceCharactersAsksAndAppliesTheAnswer) {
  const TFunctionInfo& f = Fn("Replace Characters");
  EXPECT_EQ(Validate("Replace Characters").Message, "No charachters specified to be replaced");
  EXPECT_EQ(Validate("Replace Characters", {Text("abc"), Text("xyz")}).Severity, 0);

  auto args = ArgsFor("Replace Characters", {Text("abc"), Text("xy")});
  TValidation v = Validate(f.Function.get(), (*args)->Unknown());
  EXPECT_EQ(v.Message,
            "Less replacement characters than characters to find specified.\r\rStrip characters without "
            "replacement?");
  EXPECT_EQ(v.Severity, 2);

  TPluginPtr<IKVQXFVFConfirm> confirm = PluginQuery<IKVQXFVFConfirm>(f.Function.get());
  ASSERT_TRUE(confirm);
  EXPECT_EQ(confirm->ConfirmStyle(), 4);
  EXPECT_FALSE(PluginQuery<IKVQXFVFConfirm>(Fn("Trim Characters").Function.get()));

  auto apply = [&](int32_t answer, IUnknown* a) {
    TValidation r;
    r.Message =
        PluginReadString([&](char* b, int32_t n) { return confirm->ApplyConfirmation(answer, a, b, n, &r.Severity); });
    return r;
  };
  // Anything but Yes keeps the arguments and warns.
  TValidation no = apply(kDialogResultNo, (*args)->Unknown());
  EXPECT_EQ(no.Message,
            "Less replacement characters than characters to find specified. Characters without "
            "replacement will be ignored.");
  EXPECT_EQ(no.Severity, 3);
  EXPECT_EQ((*args)->Item(0).Changes, 0);
  // Yes shortens the characters to find through SetValue, as text, without a message.
  TValidation yes = apply(kDialogResultYes, (*args)->Unknown());
  EXPECT_EQ(yes.Message, "");
  EXPECT_EQ(yes.Severity, 0);
  EXPECT_EQ((*args)->Item(0).Changes, 1);
  EXPECT_EQ((*args)->Item(0).Value().vt(), VT_BSTR);
  EXPECT_EQ(ToUtf8(*(*args)->Item(0).Value().get()), "ab");
  EXPECT_EQ(Validate(f.Function.get(), (*args)->Unknown()).Severity, 0);

  EXPECT_EQ(apply(kDialogResultYes, nullptr).Message, "No Arguments passed for validation");
  auto empty = ArgsFor("Replace Characters");
  EXPECT_EQ(apply(kDialogResultYes, (*empty)->Unknown()).Severity, 3);
}

// --- Errors leaving CallFunction ------------------------------------------------------------------------------
using PluginCallErrorTest = PluginFixture;

TEST_F(PluginCallErrorTest, ABadPatternIsReportedAndTheValueKept) {
  TCallResult r = Call("RegEx Replace", Text("a-b"), {Text("a-b"), Text("x")});
  EXPECT_EQ(r.Error, "Unexpected meta character at position (2)");
  EXPECT_EQ(r.ErrorClass, "ERegExpr");
  EXPECT_EQ(r.Text(), "a-b");

  r = Call("Set if regEx match", Null(), {Text("(")});
  EXPECT_FALSE(r.Error.empty());
  EXPECT_TRUE(r.IsNull());
}

TEST_F(PluginCallErrorTest, ArgumentsThatCannotBeReadOrConvertedAreReported) {
  TCallResult r = Call("Random String", Text("x"), {Text("five")});
  EXPECT_FALSE(r.Error.empty());
  EXPECT_EQ(r.Text(), "x");

  // Too few arguments: the failed GetIntfByIndex is named with the interface and the index.
  TOwned<TTestArgs> shortList;
  shortList->Add(*Text("abc").get());
  TCallResult s = CallWith("Replace Characters", Text("cab"), shortList->Unknown());
  EXPECT_EQ(shortList->Reports, 1);
  EXPECT_EQ(shortList->ErrorMessage.rfind("Unable to get interface {223323C8-5F7B-4A6D-ADE1-0B44E6F755EC} for item "
                                          "\"1\": ",
                                          0),
            0u)
      << shortList->ErrorMessage;
  EXPECT_EQ(shortList->ErrorRoutine, "GetArgValue");
  EXPECT_EQ(s.Text(), "cab");

  // Args that is not an argument list at all; the error has nowhere to go, but nothing breaks.
  TOwned<TCollector> notArgs;
  TCallResult n = CallWith("Substring", Text("abcdef"), notArgs->Unknown());
  EXPECT_EQ(n.Text(), "abcdef");
  CallWith("Substring", Text("abcdef"), nullptr);
  Fn("Substring").Function->CallFunction(nullptr, nullptr);
}

TEST_F(PluginCallErrorTest, AbsurdRandomLengthsAreRefusedInsteadOfExhaustingMemory) {
  TCallResult r = Call("Random String", Null(), {Int(2147483647), Int(2147483647)});
  EXPECT_FALSE(r.Error.empty());
  EXPECT_TRUE(r.IsNull());
}

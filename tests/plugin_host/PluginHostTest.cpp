// The host against the real modules: DabrixPlugin.qxp and the example module, loaded through dlopen and
// the export from temporary program folders.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "definition/QXDTreeOps.h"
#include "definition/QXDocument.h"
#include "foundation/KVExceptions.h"
#include "plugin_api/PluginArgs.h"
#include "plugin_host/FVFunc.h"
#include "plugin_host/KVPluginMgr.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

const TGUID kExampleId = KVGuid("{78C8017B-2806-4B0C-931C-60E2740F1470}");
const TGUID kTrimCharactersId = KVGuid("{23AFD3B4-B47B-4FF7-BBE7-D5F5A386BA47}");
const TGUID kRegExReplaceId = KVGuid("{6CE005AB-6B1B-4175-A385-90E642229A5B}");

// A run's cancel request as a function call sees it: answers "cancelled" from its `after`-th question on.
struct TCancelAfter : IQXCancelCheck {
  explicit TCancelAfter(int after) : After(after) {}
  bool CancelRequested() const override { return ++Asked >= After; }
  int After;
  mutable int Asked = 0;
};

std::string BinFile(const std::string& name) { return std::string(DABRIX_BIN_DIR) + "/" + name; }

// A program folder of its own for each test; the modules are copies of the built ones.
class PluginHost : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Old = KVSetPluginFolderProvider([this] { return std::vector<std::string>{m_Dir.path().string() + "/"}; });
  }
  void TearDown() override {
    KVReleasePlugins();
    KVSetPluginFolderProvider(m_Old);
  }
  void Copy(const std::string& builtName, const std::string& asName) {
    std::filesystem::copy_file(BinFile(builtName), m_Dir.file(asName));
  }
  void Load(const std::string& masks = "*.qxp") {
    LoadPlugins(masks, "PluginCreateObject");
    RebuildFunctionRegistry();
  }
  std::vector<std::string> ModuleNames() {
    std::vector<std::string> names;
    for (const auto& m : KVPluginModules()) names.push_back(std::filesystem::path(m->FileName()).filename().string());
    return names;
  }

  TempDir m_Dir;
  TKVPluginFolderProvider m_Old;
};

TEST_F(PluginHost, LoadsModulesInNameOrderAndRegistersTheirFunctionsSortedById) {
  Copy("ExamplePlugin.qxp", "b-example.qxp");
  Copy("DabrixPlugin.qxp", "a-dabrix.QXP");
  WriteFileBytes(m_Dir.file("readme.txt"), "not a module");
  Load(" ;\t*.qxp ; ");
  EXPECT_EQ(ModuleNames(), (std::vector<std::string>{"a-dabrix.QXP", "b-example.qxp"}));

  auto functions = FVRegisteredFunctions();
  ASSERT_EQ(functions.size(), 17u);
  for (size_t i = 1; i < functions.size(); ++i) EXPECT_LT(KVCompareByGuid(functions[i - 1]->Id, functions[i]->Id), 0);
  // The definition finds them through the installed lookup.
  ASSERT_NE(QXFindFunction(kTrimCharactersId), nullptr);
  EXPECT_EQ(QXFindFunction(kTrimCharactersId)->Name, "Trim Characters");

  auto example = FindFunction(kExampleId);
  ASSERT_NE(example, nullptr);
  EXPECT_EQ(example->Name, "Example Prefix");
  EXPECT_EQ(example->GetDescription(), "Puts a prefix before text values");
  ASSERT_EQ(example->Parameters.size(), 2u);
  EXPECT_EQ(example->Parameters[0].Name, "Prefix");
  EXPECT_EQ(example->Parameters[0].Default.VarType(), varOleStr);
  EXPECT_EQ(example->Parameters[0].Default.AsString(), "Ex: ");
  EXPECT_EQ(example->Parameters[1].Default.VarType(), varBoolean);
  EXPECT_EQ(FVFindFunctionByText("EXAMPLE prefix"), example);
  EXPECT_EQ(FVFindFunctionByText("{78c8017b-2806-4b0c-931c-60e2740f1470}"), example);

  // Program end: registry first, then modules; nothing is found any more.
  KVReleasePlugins();
  EXPECT_TRUE(FVRegisteredFunctions().empty());
  EXPECT_TRUE(KVPluginModules().empty());
  EXPECT_EQ(QXFindFunction(kExampleId), nullptr);
}

TEST_F(PluginHost, EmptyArgumentsMissingExportAndEmptyFolderRegisterNothing) {
  Copy("ExamplePlugin.qxp", "example.qxp");
  LoadPlugins("", "PluginCreateObject");
  LoadPlugins("*.qxp", "");
  EXPECT_TRUE(KVPluginModules().empty());
  Load("*.dll");
  EXPECT_TRUE(FVRegisteredFunctions().empty());
  LoadPlugins("*.qxp", "NoSuchExport");
  EXPECT_TRUE(KVPluginModules().empty());
  // A folder that does not exist is skipped.
  KVSetPluginFolderProvider([this] { return std::vector<std::string>{m_Dir.file("missing") + "/"}; });
  Load();
  EXPECT_TRUE(FVRegisteredFunctions().empty());
}

TEST_F(PluginHost, TheFirstModuleWinsADuplicateFunctionId) {
  Copy("ExamplePlugin.qxp", "first.qxp");
  Copy("ExamplePlugin.qxp", "second.qxp");
  // Two masks matching the same file do not list it twice.
  Load("*.qxp;first.*");
  EXPECT_EQ(ModuleNames(), (std::vector<std::string>{"first.qxp", "second.qxp"}));
  auto functions = FVRegisteredFunctions();
  ASSERT_EQ(functions.size(), 1u);
  EXPECT_EQ(std::filesystem::path(functions[0]->Module()->FileName()).filename(), "first.qxp");
}

TEST_F(PluginHost, AFileThatIsNoModuleStopsLoadingWithTheLoadLibraryError) {
  Copy("ExamplePlugin.qxp", "a.qxp");
  std::mt19937 random(7);
  std::string junk(4096, '\0');
  for (char& c : junk) c = static_cast<char>(random());
  const std::string corrupt = m_Dir.file("b-corrupt.qxp");
  WriteFileBytes(corrupt, junk);
  Copy("ExamplePlugin.qxp", "c.qxp");
  try {
    LoadPlugins("*.qxp", "PluginCreateObject");
    ADD_FAILURE() << "no error";
  } catch (const EAPIException& e) {
    EXPECT_EQ(e.GetRoutineName(), "LoadLibrary(\"" + corrupt + "\")");
    EXPECT_NE(KVDetailedErrorText(e).find("LoadLibrary(\"" + corrupt + "\")"), std::string::npos);
  }
  EXPECT_EQ(ModuleNames(), (std::vector<std::string>{"a.qxp"}));  // later files are not loaded
  EXPECT_EQ(ReadFileBytes(corrupt), junk);
}

TEST_F(PluginHost, ModuleEntryPointAndEnumerationFollowTheContract) {
  Copy("ExamplePlugin.qxp", "example.qxp");
  Load();
  ASSERT_EQ(KVPluginModules().size(), 1u);
  TKVRef<TKVPluginModule> module = KVPluginModules()[0];
  auto* intf = module->Query<IKVPluginModule>();
  ASSERT_NE(intf, nullptr);
  EXPECT_TRUE(intf->IsLoaded());
  EXPECT_NE(intf->GetHandle(), nullptr);
  ASSERT_NE(module->Query<IKVGetFileName>(), nullptr);
  EXPECT_EQ(module->Query<IKVGetFileName>()->GetFileName(), m_Dir.file("example.qxp"));

  // Another class id: CLASS_E_CLASSNOTAVAILABLE and the out-pointer untouched.
  void* obj = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(intf->CreateObject(&IKVEnumObjects::IID, &IKVEnumObjects::IID, &obj), static_cast<HRESULT>(0x80040111));
  EXPECT_EQ(obj, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(intf->CreateObject(&FVFEnumeratorClassId, &IKVQXFVFunction::IID, &obj), E_NOINTERFACE);
  EXPECT_EQ(obj, nullptr);

  // The root serves Kind 0 to a receiver with IKVEnumCallback only.
  TPluginPtr<IKVEnumObjects> root;
  ASSERT_EQ(intf->CreateObject(&FVFEnumeratorClassId, &IKVEnumObjects::IID, root.out()), S_OK);
  struct TCounter : IKVEnumCallback {
    int Calls = 0;
    bool AnswerCallback = true;
    HRESULT QueryInterface(const GUID& iid, void** o) noexcept override {
      bool ok = PluginSameGuid(iid, IUnknown::IID) || (AnswerCallback && PluginSameGuid(iid, IKVEnumCallback::IID));
      *o = ok ? this : nullptr;
      return ok ? S_OK : E_NOINTERFACE;
    }
    uint32_t AddRef() noexcept override { return 2; }
    uint32_t Release() noexcept override { return 1; }
    void EnumObject(IUnknown*, int32_t kind, IUnknown* o, int32_t data) noexcept override {
      EXPECT_EQ(kind, 0);
      EXPECT_EQ(data, 5);
      EXPECT_TRUE(PluginQuery<IKVQXFVFunction>(o));
      ++Calls;
    }
  } counter;
  root->EnumObjects(1, &counter, 5);
  EXPECT_EQ(counter.Calls, 0);
  counter.AnswerCallback = false;
  root->EnumObjects(0, &counter, 5);
  EXPECT_EQ(counter.Calls, 0);
  root->EnumObjects(0, nullptr, 5);
  counter.AnswerCallback = true;
  root->EnumObjects(0, &counter, 5);
  EXPECT_EQ(counter.Calls, 1);
}

TEST(PluginApi, StringBufferProtocolAndValuesCrossIntact) {
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(PluginCopyToBuffer("abcdef", 6, nullptr, 100), 7);
  EXPECT_EQ(PluginCopyToBuffer("abcdef", 6, buf, 0), 7);
  EXPECT_EQ(buf[0], '#');
  // Too small: truncated, zero-terminated, nothing written beyond BufSize.
  EXPECT_EQ(PluginCopyToBuffer("abcdef", 6, buf, 4), 4);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[4], '#');
  EXPECT_EQ(PluginCopyToBuffer("abcdef", 6, buf, 7), 7);
  EXPECT_STREQ(buf, "abcdef");
  EXPECT_EQ(PluginCopyToBuffer("", 0, buf, 8), 1);
  EXPECT_STREQ(buf, "");
  // Reading: an empty string costs one call, a longer one two.
  int calls = 0;
  EXPECT_EQ(PluginReadString([&](char* b, int32_t n) { return ++calls, PluginCopyToBuffer("", 0, b, n); }), "");
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_EQ(PluginReadString([&](char* b, int32_t n) { return ++calls, PluginCopyToBuffer("Grüße", b, n); }), "Grüße");
  EXPECT_EQ(calls, 2);

  // Values: UTF-8 through a BSTR and back, outside the basic plane too; copies are deep.
  const std::string text = "Zoë \xF0\x9F\x98\x80 end";
  TPluginVariant a;
  PluginVariantSetBstrUtf8(a.get(), text);
  EXPECT_EQ(PluginSysStringLen(a.get()->bstrVal), 10u);
  TPluginVariant b(a);
  EXPECT_NE(b.get()->bstrVal, a.get()->bstrVal);
  PluginVariantClear(a.get());
  EXPECT_EQ(PluginBstrToUtf8(b.get()->bstrVal), text);
  EXPECT_EQ(PluginVariantToKV(b.get()).AsString(), text);
  // The host's 8-bit strings travel as VT_KVSTRING; a module writes back VT_BSTR.
  PluginVariantFromKV(a.get(), TKVVariant::FromString("a\0b"), true);
  EXPECT_EQ(a.vt(), VT_KVSTRING);
  PluginVariantFromKV(b.get(), TKVVariant::FromString(std::string("a\0b", 3)), false);
  EXPECT_EQ(b.vt(), VT_BSTR);
  EXPECT_EQ(PluginVariantToKV(b.get()).AsString(), std::string("a\0b", 3));
  PluginVariantFromKV(b.get(), TKVVariant::FromInt64(int64_t{1} << 40));
  EXPECT_EQ(b.vt(), VT_R8);
  b.get()->vt = 0x4003;  // by reference: nothing this contract carries
  EXPECT_THROW(PluginVariantToKV(b.get()), EKVException);
  b.get()->vt = VT_EMPTY;
}

// --- Nodes bound to functions --------------------------------------------------------------------------

class FunctionNode : public PluginHost {
 protected:
  void SetUp() override {
    PluginHost::SetUp();
    Copy("ExamplePlugin.qxp", "example.qxp");
    Load();
    node = KVMakeRef<TQXDFieldFuncData>();
    node->SetFunctionId(kExampleId);
  }
  TKVRef<TQXDFieldFuncData> node;
};

TEST_F(FunctionNode, BindsCallsAndHandsTheArgumentsToThePlugin) {
  ASSERT_NE(node->Function(), nullptr);
  ASSERT_EQ(node->ArgumentCount(), 2u);
  EXPECT_EQ(node->Argument(0).Value().AsString(), "Ex: ");
  EXPECT_EQ(node->CallFunction(TKVVariant::FromString("abc")).AsString(), "Ex: abc");
  EXPECT_TRUE(node->CallFunction(TKVVariant::Null()).IsNull());
  node->SetArgumentValue(0, TKVVariant::FromString("id-"));
  node->SetArgumentValue(1, TKVVariant::FromBoolean(true));
  EXPECT_EQ(node->CallFunction(TKVVariant::FromString("x7")).AsString(), "ID-X7");
  // The same id again keeps the edited arguments.
  node->SetFunctionId(kExampleId);
  EXPECT_EQ(node->Argument(0).Value().AsString(), "id-");
  EXPECT_EQ(TFVFunction::CreatedType(*node, 1), varBoolean);
}

TEST_F(FunctionNode, AnErrorInsideTheCallIsRaisedWithThePluginsMessage) {
  try {
    node->CallFunction(TKVVariant::FromInt32(5));
    ADD_FAILURE() << "no error";
  } catch (const EKVException& e) {
    EXPECT_EQ(e.GetMessageText(), "Example Prefix works on text values only");
    EXPECT_EQ(e.GetRoutineName(), "TExamplePrefix.CallFunction");
    EXPECT_TRUE(KVIsExceptionClass(e, "EExampleError"));
    EXPECT_TRUE(KVIsExceptionClass(e, "EKVException"));
  }
  // The next record is not affected by the previous error.
  EXPECT_EQ(node->CallFunction(TKVVariant::FromString("ok")).AsString(), "Ex: ok");
}

// The example module predates the cancel check and never asks for it: a cancelled run's calls still
// complete, and its errors stay its own.
TEST_F(FunctionNode, AModuleThatNeverAsksForTheCancelCheckRunsAsBefore) {
  TCancelAfter cancelled(1);
  EXPECT_EQ(node->CallFunction(TKVVariant::FromString("abc"), &cancelled).AsString(), "Ex: abc");
  try {
    node->CallFunction(TKVVariant::FromInt32(5), &cancelled);
    ADD_FAILURE() << "no error";
  } catch (const EQXCallCancelled&) {
    ADD_FAILURE() << "an error of a module that was never told of the cancel is its own";
  } catch (const EKVException& e) {
    EXPECT_EQ(e.GetMessageText(), "Example Prefix works on text values only");
  }
  EXPECT_EQ(cancelled.Asked, 0);
  // The argument list offers the check only when the call has one.
  TPluginPtr<IUnknown> plain = FVMakeArgumentList(*node, true);
  EXPECT_FALSE(PluginQuery<IKVQXCancelCheck>(plain.get()));
  TPluginPtr<IUnknown> cancellable = FVMakeArgumentList(*node, true, &cancelled);
  TPluginPtr<IKVQXCancelCheck> check = PluginQuery<IKVQXCancelCheck>(cancellable.get());
  ASSERT_TRUE(check);
  EXPECT_NE(check->CancelRequested(), 0);
  EXPECT_TRUE(FVCancelAnswered(cancellable.get()));
}

// The delivered module asks while it searches; told to stop, its call ends as the run's cancel.
TEST_F(PluginHost, TheDeliveredModuleStopsALongSearchWhenTheRunIsCancelled) {
  Copy("DabrixPlugin.qxp", "dabrix.qxp");
  Load();
  auto node = KVMakeRef<TQXDFieldFuncData>();
  node->SetFunctionId(kRegExReplaceId);
  ASSERT_NE(node->Function(), nullptr);
  // A back-reference in a repeated group keeps this search quadratic: hours over 300,000 characters.
  node->SetArgumentValue(0, TKVVariant::FromString("(:1a)(\\1)*b"));
  node->SetArgumentValue(1, TKVVariant::FromString("x"));
  const TKVVariant large = TKVVariant::FromString(std::string(300000, 'a'));

  TCancelAfter cancelled(3);
  EXPECT_THROW(node->CallFunction(large, &cancelled), EQXCallCancelled);
  EXPECT_EQ(cancelled.Asked, 3);  // it stopped at the first "yes"

  // Not cancelled, a short value is replaced as ever; the module asked at least once on the way.
  TCancelAfter never(1000000);
  EXPECT_EQ(node->CallFunction(TKVVariant::FromString("-aab-"), &never).AsString(), "-x-");
  EXPECT_GE(never.Asked, 1);
}

TEST_F(FunctionNode, TheArgumentListAnswersByIndexAndCarriesChangesBack) {
  TPluginPtr<IUnknown> args = FVMakeArgumentList(*node, false);
  TPluginPtr<IKVGetIntfByIndex> list = PluginQuery<IKVGetIntfByIndex>(args.get());
  ASSERT_TRUE(list);
  void* item = reinterpret_cast<void*>(1);
  EXPECT_EQ(list->GetIntfByIndex(-1, &IKVQXGetArgValue::IID, &item), static_cast<HRESULT>(0x80070585));
  EXPECT_EQ(list->GetIntfByIndex(2, &IKVQXGetArgValue::IID, &item), static_cast<HRESULT>(0x80070585));
  EXPECT_EQ(list->GetIntfByIndex(0, &IKVQXFVFunction::IID, &item), E_NOINTERFACE);
  // Only the list given to a call takes error reports.
  EXPECT_FALSE(PluginQuery<IKVQXErrorReport>(args.get()));

  TPluginVariant v;
  ASSERT_EQ(PluginGetArgValue(args.get(), 0, v.get()), S_OK);
  EXPECT_EQ(PluginVariantToKV(v.get()).AsString(), "Ex: ");
  // A value written back keeps the argument's type: 12 into the switch is "on".
  PluginVariantSetI4(v.get(), 12);
  ASSERT_EQ(PluginSetArgValue(args.get(), 1, v.get()), S_OK);
  EXPECT_EQ(node->Argument(1).Value().VarType(), varBoolean);
  EXPECT_TRUE(node->Argument(1).Value().AsBoolean());
  ASSERT_EQ(PluginSetArgValue(args.get(), 1, nullptr), S_OK);  // ignored
  EXPECT_TRUE(node->Argument(1).Value().AsBoolean());
  // A text that is no switch value leaves the argument as it was.
  PluginVariantSetI4(v.get(), 0);
  ASSERT_EQ(PluginSetArgValue(args.get(), 1, v.get()), S_OK);
  PluginVariantFromKV(v.get(), TKVVariant::FromString("maybe"), true);
  PluginSetArgValue(args.get(), 1, v.get());
  EXPECT_EQ(node->Argument(1).Value().VarType(), varBoolean);
  EXPECT_FALSE(node->Argument(1).Value().AsBoolean());

  try {
    GetArgValue(args.get(), 2);
    ADD_FAILURE();
  } catch (const EKVHrException& e) {
    EXPECT_EQ(e.GetRoutineName(), "GetArgValue");
    EXPECT_EQ(e.GetMessageText().rfind("Unable to get interface {223323C8-5F7B-4A6D-ADE1-0B44E6F755EC} for item \"2\": ", 0), 0u);
  }
  EXPECT_THROW(SetArgValue(nullptr, 0, TKVVariant(1)), EKVException);

  TPluginPtr<IUnknown> callArgs = FVMakeArgumentList(*node, true);
  ASSERT_TRUE(PluginReportError(callArgs.get(), "first", "EOne", "R1"));
  ASSERT_TRUE(PluginReportError(callArgs.get(), "second", nullptr, nullptr));
  std::string message, cls, routine;
  ASSERT_TRUE(FVTakeReportedError(callArgs.get(), message, cls, routine));
  EXPECT_EQ(message + cls + routine, "firstEOneR1");
}

TEST_F(FunctionNode, CanLeaveAsksThroughTheMessageDialog) {
  struct TShown {
    std::string Text;
    TKVSeverity Severity;
  };
  std::vector<TShown> shown;
  int answer = KV_IDOK;
  TKVMessageDialogProc old = KVSetMessageDialogProc([&](const std::string& text, TKVSeverity s, TKVMsgButtons) {
    shown.push_back({text, s});
    return answer;
  });

  EXPECT_TRUE(node->CanLeave());  // the defaults are fine: nothing shown
  EXPECT_TRUE(shown.empty());

  node->SetArgumentValue(0, TKVVariant::FromString(""));  // a warning is shown once, the selection moves on
  EXPECT_TRUE(node->CanLeave());
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Severity, TKVSeverity::Warning);
  EXPECT_EQ(shown[0].Text, "The prefix is empty.");

  // A question answered with OK (the only button offered): the plug-in's error follows and keeps the node.
  shown.clear();
  node->SetArgumentValue(0, TKVVariant::FromString("much-too-long:"));
  EXPECT_FALSE(node->CanLeave());
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].Severity, TKVSeverity::Confirmation);
  EXPECT_EQ(shown[0].Text, "The prefix is longer than 8 characters. Shorten it?");
  EXPECT_EQ(shown[1].Severity, TKVSeverity::Error);
  EXPECT_EQ(node->Argument(0).Value().AsString(), "much-too-long:");

  // Answered Yes: the plug-in shortens the argument and has nothing more to say.
  shown.clear();
  answer = KV_IDYES;
  EXPECT_TRUE(node->CanLeave());
  EXPECT_EQ(shown.size(), 1u);
  EXPECT_EQ(node->Argument(0).Value().AsString(), "much-too");

  TQXValidationResult v = node->ValidateFunction();
  EXPECT_EQ(v.Severity, TKVSeverity::None);
  EXPECT_EQ(v.Message, "");
  KVSetMessageDialogProc(old);
}

// A document with a function the plug-ins supply and one they do not.
const char* kDocument =
    "[GeneralSettings]\n"
    "DataFormatGUID={C1CE532E-C8F3-4cc4-915D-B90F532B3B19}\n"
    "[QXD]\n"
    "[QXD\\.\\00000]\n"
    "DataClassName=TQXDSourceConnectionData\n"
    "Title=Shop\n"
    "[QXD\\.\\00000\\.\\00001]\n"
    "DataClassName=TQXDSourceTableData\n"
    "Title=customers\n"
    "[QXD\\.\\00000\\.\\00001\\.\\00002]\n"
    "DataClassName=TQXDDestConnectionData\n"
    "Title=Warehouse\n"
    "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003]\n"
    "DataClassName=TQXDDestRSData\n"
    "Title=clients\n"
    "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004]\n"
    "DataClassName=TQXDDestFieldData\n"
    "Title=name\n"
    "DestFieldname=name\n"
    "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004\\.\\00005]\n"
    "DataClassName=TQXDFieldFuncData\n"
    "Title=Old title\n"
    "FunctionId={78C8017B-2806-4B0C-931C-60E2740F1470}\n"
    "Argument000=8,Hi-\n"
    "[QXD\\.\\00000\\.\\00001\\.\\00002\\.\\00003\\.\\00004\\.\\00006]\n"
    "DataClassName=TQXDFieldFuncData\n"
    "Title=Gone\n"
    "FunctionId={0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\n"
    "Argument000=3,42\n"
    "Argument001=8,left\n"
    "Argument002=11,True\n";

TEST_F(PluginHost, DocumentsKeepTheArgumentsOfFunctionsThatAreNotLoaded) {
  Copy("ExamplePlugin.qxp", "example.qxp");
  Load();
  const std::string original = m_Dir.file("doc.qxt"), saved = m_Dir.file("saved.qxt");
  WriteFileBytes(original, kDocument);
  {
    auto doc = KVMakeRef<TQXDocument>();
    ASSERT_TRUE(doc->LoadFromFile(original));
    TKVTreeItem* field = QXDFindNodeByPath(doc->Tree(), "Shop.customers.Warehouse.clients.name");
    ASSERT_NE(field, nullptr);
    ASSERT_EQ(field->ChildCount(), 2u);
    auto* bound = field->Child(0)->DataAs<TQXDFieldFuncData>();
    auto* missing = field->Child(1)->DataAs<TQXDFieldFuncData>();
    ASSERT_TRUE(bound && missing);

    EXPECT_EQ(field->Child(0)->Title(), "Example Prefix");
    ASSERT_EQ(bound->ArgumentCount(), 2u);
    EXPECT_EQ(bound->Argument(0).Value().AsString(), "Hi-");
    EXPECT_EQ(bound->CallFunction(TKVVariant::FromString("Ann")).AsString(), "Hi-Ann");

    EXPECT_EQ(field->Child(1)->Title(), "Gone");
    EXPECT_EQ(missing->Function(), nullptr);
    EXPECT_EQ(missing->GetHintText(), "");
    TQXValidationResult v = missing->ValidateFunction();
    EXPECT_EQ(v.Severity, TKVSeverity::Warning);
    EXPECT_EQ(v.Message,
              "Function \"Gone\" not found in any loaded plugin. This function will not be called when executing "
              "a data reorganization.");
    EXPECT_TRUE(missing->CanLeave());
    try {
      missing->CallFunction(TKVVariant::FromString("x"));
      ADD_FAILURE();
    } catch (const EKVException& e) {
      EXPECT_EQ(e.GetMessageText(), "No plugin has registered a function with id {0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
    }
    ASSERT_TRUE(doc->SaveAs(saved));
  }
  auto again = KVMakeRef<TQXDocument>();
  ASSERT_TRUE(again->LoadFromFile(saved));
  auto* missing = QXDFindNodeByPath(again->Tree(), "Shop.customers.Warehouse.clients.name")->Child(1)->DataAs<TQXDFieldFuncData>();
  ASSERT_EQ(missing->ArgumentCount(), 3u);
  EXPECT_EQ(missing->Argument(0).Value().VarType(), varInteger);
  EXPECT_EQ(missing->Argument(0).Value().AsInt32(), 42);
  EXPECT_EQ(missing->Argument(1).Value().AsString(), "left");
  EXPECT_EQ(missing->Argument(2).Value().AsBoolean(), true);
  EXPECT_EQ(ReadFileBytes(original), kDocument);
}

}  // namespace

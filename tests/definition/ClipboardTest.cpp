#include <gtest/gtest.h>

#include "definition/QXDClipboard.h"
#include "definition/QXDocument.h"
#include "foundation/KVExceptions.h"

namespace {

constexpr TGUID kUpper = KVGuid("{11111111-2222-3333-4444-555555555555}");
constexpr TGUID kPad = KVGuid("{66666666-7777-8888-9999-AAAAAAAAAAAA}");

// Source "Src" > recordset "orders" > destination "Dst" > recordsets "A" (field "name" with two functions)
// and "B" (field "other").
struct Definition {
  TKVRef<TQXDocument> doc = KVMakeRef<TQXDocument>();
  TKVTreeItem *src, *rs, *dst, *a, *b, *field;

  Definition() {
    TQXDTreeView& t = doc->Tree();
    src = &t.Insert(nullptr, "Src", std::make_unique<TQXDSourceConnectionData>());
    rs = &t.Insert(src, "orders", std::make_unique<TQXDSourceTableData>());
    dst = &t.Insert(rs, "Dst", std::make_unique<TQXDDestConnectionData>());
    a = &t.Insert(dst, "A", std::make_unique<TQXDDestRSData>());
    b = &t.Insert(dst, "B", std::make_unique<TQXDDestRSData>());
    field = &t.Insert(a, "name", std::make_unique<TQXDDestFieldData>());
    field->DataAs<TQXDDestFieldData>()->SetDestFieldname("cust_name");
    AddFunction(field, "Upper", kUpper, {TKVVariant::FromString("de-DE")});
    AddFunction(field, "Pad left", kPad, {TKVVariant::FromInt32(12), TKVVariant::FromString(" ")});
    t.Insert(b, "other", std::make_unique<TQXDDestFieldData>());
    doc->SetModified(false);
  }

  void AddFunction(TKVTreeItem* parent, const std::string& title, const TGUID& id, std::vector<TKVVariant> args) {
    auto f = std::make_unique<TQXDFieldFuncData>();
    f->SetFunctionId(id);
    for (auto& v : args) f->AppendArgument(v);
    doc->Tree().Insert(parent, title, std::move(f));
  }
};

void ExpectSameFunctions(TKVTreeItem* expected, TKVTreeItem* actual) {
  ASSERT_EQ(actual->ChildCount(), expected->ChildCount());
  for (size_t i = 0; i < expected->ChildCount(); ++i) {
    auto* e = expected->Child(i)->DataAs<TQXDFieldFuncData>();
    auto* f = actual->Child(i)->DataAs<TQXDFieldFuncData>();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(actual->Child(i)->Title(), expected->Child(i)->Title());
    EXPECT_EQ(f->FunctionId(), e->FunctionId());
    ASSERT_EQ(f->ArgumentCount(), e->ArgumentCount());
    for (size_t k = 0; k < e->ArgumentCount(); ++k) {
      EXPECT_EQ(f->Argument(k).Value().VarType(), e->Argument(k).Value().VarType());
      EXPECT_EQ(f->Argument(k).Value().AsString(), e->Argument(k).Value().AsString());
    }
  }
}

TEST(QXDClipboard, FieldWithFunctionsPastesOntoAnotherRecordsetAndIntoAnotherDocument) {
  Definition d;
  TQXDMemoryClipboard clipboard;
  ASSERT_TRUE(QXDCopySubtree(clipboard, d.field));
  EXPECT_TRUE(clipboard.HasFormat("{677308a7-6233-4bf8-873f-ac31055214a8}"));
  EXPECT_FALSE(d.doc->Modified());  // copying changes nothing

  TKVTreeItem* pasted = QXDPasteSubtree(clipboard, d.doc->Tree(), d.b);
  ASSERT_NE(pasted, nullptr);
  EXPECT_EQ(pasted, d.b->LastChildItem());
  EXPECT_EQ(pasted->Title(), "name");
  EXPECT_EQ(pasted->DataAs<TQXDDestFieldData>()->DestFieldname(), "cust_name");
  ExpectSameFunctions(d.field, pasted);
  EXPECT_TRUE(d.doc->Modified());

  // The bytes alone carry the subtree: another document (another program) pastes them.
  Definition other;
  TQXDMemoryClipboard foreign;
  foreign.SetImage(QXDNodeKinds()[4].ClipboardFormat, *clipboard.GetImage(QXDNodeKinds()[4].ClipboardFormat));
  TKVTreeItem* there = QXDPasteSubtree(foreign, other.doc->Tree(), other.a);
  ASSERT_NE(there, nullptr);
  ExpectSameFunctions(d.field, there);
}

TEST(QXDClipboard, PasteGoesOnlyUnderTheAllowedParents) {
  Definition d;
  TQXDMemoryClipboard clipboard;
  ASSERT_TRUE(QXDCopySubtree(clipboard, d.a));
  size_t count = d.doc->Tree().Count();
  // A destination recordset needs a destination database.
  EXPECT_FALSE(QXDCanPaste(clipboard, d.src));
  EXPECT_EQ(QXDPasteSubtree(clipboard, d.doc->Tree(), d.src), nullptr);
  EXPECT_EQ(QXDPasteSubtree(clipboard, d.doc->Tree(), d.rs), nullptr);
  EXPECT_EQ(QXDPasteSubtree(clipboard, d.doc->Tree(), nullptr), nullptr);
  EXPECT_EQ(d.doc->Tree().Count(), count);
  EXPECT_FALSE(d.doc->Modified());
  TKVTreeItem* pasted = QXDPasteSubtree(clipboard, d.doc->Tree(), d.dst);
  ASSERT_NE(pasted, nullptr);
  EXPECT_EQ(d.dst->ChildCount(), 3u);
  EXPECT_EQ(pasted, d.dst->Child(2));
  EXPECT_EQ(pasted->ChildCount(), 1u);

  // With nothing selected only a source database goes, to the top level; its recordsets bind to it.
  ASSERT_TRUE(QXDCopySubtree(clipboard, d.src));
  EXPECT_FALSE(QXDCanPaste(clipboard, d.dst));
  TKVTreeItem* top = QXDPasteSubtree(clipboard, d.doc->Tree(), nullptr);
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(d.doc->Tree().TopLevelCount(), 2u);
  EXPECT_EQ(top, d.doc->Tree().TopLevel(1));
  auto* rs = top->Child(0)->DataAs<TQXDSourceTableData>();
  ASSERT_NE(rs, nullptr);
  EXPECT_EQ(rs->Recordset().Connection(), &top->DataAs<TQXDSourceConnectionData>()->Connection());

  // Without a selection, or for an item without a node kind, there is nothing to copy.
  TKVTreeItem& plain = d.doc->Tree().Insert(nullptr, "plain");
  EXPECT_FALSE(QXDCopySubtree(clipboard, nullptr));
  EXPECT_FALSE(QXDCopySubtree(clipboard, &plain));
  EXPECT_FALSE(QXDCutSubtree(clipboard, d.doc->Tree(), &plain));
  EXPECT_EQ(plain.Title(), "plain");
}

TEST(QXDClipboard, CutAndPasteMovesTheSubtreeToTheEnd) {
  Definition d;
  d.doc->Tree().Insert(d.dst, "C", std::make_unique<TQXDDestRSData>());
  TQXDMemoryClipboard clipboard;
  ASSERT_TRUE(QXDCutSubtree(clipboard, d.doc->Tree(), d.a));
  ASSERT_EQ(d.dst->ChildCount(), 2u);
  EXPECT_TRUE(d.doc->Modified());
  TKVTreeItem* moved = QXDPasteSubtree(clipboard, d.doc->Tree(), d.dst);
  ASSERT_NE(moved, nullptr);
  std::vector<std::string> titles;
  for (size_t i = 0; i < d.dst->ChildCount(); ++i) titles.push_back(d.dst->Child(i)->Title());
  EXPECT_EQ(titles, (std::vector<std::string>{"B", "C", "A"}));
  ASSERT_EQ(moved->ChildCount(), 1u);
  EXPECT_EQ(moved->Child(0)->ChildCount(), 2u);
}

TEST(QXDClipboard, ForeignOrDamagedImagesChangeNothing) {
  Definition d;
  size_t count = d.doc->Tree().Count();
  TQXDMemoryClipboard clipboard;
  // Not a compound document at all.
  clipboard.SetImage(QXDNodeKinds()[3].ClipboardFormat, "not an image");
  EXPECT_THROW(QXDPasteSubtree(clipboard, d.doc->Tree(), d.dst), EKVException);
  // A source database offered under the destination recordset format.
  clipboard.SetImage(QXDNodeKinds()[3].ClipboardFormat, QXDStoreSubtreeImage(*d.src));
  EXPECT_EQ(QXDPasteSubtree(clipboard, d.doc->Tree(), d.dst), nullptr);
  EXPECT_EQ(d.doc->Tree().Count(), count);
  EXPECT_FALSE(d.doc->Modified());
}

}  // namespace

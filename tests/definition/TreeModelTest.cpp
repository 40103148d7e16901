#include <gtest/gtest.h>

#include "definition/KVTreeModel.h"
#include "storage/KVCompoundStorage.h"
#include "storage/KVPersistentData.h"

namespace {

struct TRecorder : IKVTreeModelObserver {
  std::vector<std::string> Events;
  int Modified = 0;
  void ItemInserted(TKVTreeItem& i) override { Events.push_back("+" + i.Title()); }
  void ItemRemoving(TKVTreeItem& i) override { Events.push_back("-" + i.Title()); }
  void ItemMoved(TKVTreeItem& i) override { Events.push_back(">" + i.Title()); }
  void ItemChanged(TKVTreeItem& i, TKVItemChange) override { Events.push_back("~" + i.Title()); }
  void ModelModified() override { ++Modified; }
};

struct TNote : TKVTreeNodeData {
  std::string Text;
  std::string ClassName() const override { return "TNote"; }
  bool SkipsItemValues() const override { return true; }
  void LoadData(IKVStorage& s) override { Text = s.ReadString("Text", ""); }
  void StoreData(IKVStorage& s) override { KVWriteStringIfDiffers(s, "Text", Text, ""); }
};

std::string Shape(const TKVTreeModel& m) {
  std::string r;
  m.ForEach([&](TKVTreeItem& i) {
    r += std::string(static_cast<size_t>(i.Level()), '.') + i.Title() + (i.Data() ? "*" : "") + " ";
    return true;
  });
  return r;
}

TEST(TreeModel, ChangesAreAnnouncedAndOnlyContentMarksModified) {
  TKVTreeModel m;
  TRecorder rec;
  m.AddObserver(&rec);
  TKVTreeItem& a = m.Insert(nullptr, "A");
  TKVTreeItem& b = m.Insert(nullptr, "B");
  TKVTreeItem& a1 = m.Insert(&a, "A1");
  m.Insert(&a, "A0", nullptr, 0);
  EXPECT_EQ(Shape(m), "A .A0 .A1 B ");
  EXPECT_EQ(rec.Modified, 4);
  a1.SetStateBits(tisSelected | tisExpanded, true);  // view state only
  a1.SetStateBits(tisBold, true);                     // a validation result is no edit either
  EXPECT_EQ(rec.Modified, 4);
  a1.SetStateBits(tisCut, true);
  a1.SetTitle("A1x");
  EXPECT_EQ(rec.Modified, 6);
  m.MoveTo(b, 0);
  EXPECT_EQ(Shape(m), "B A .A0 .A1x ");
  EXPECT_EQ(m.PreOrderIndex(&a1), 3);
  EXPECT_EQ(m.ItemAtPreOrder(1), &a);
  EXPECT_EQ(m.ItemAtPreOrder(9), nullptr);
  EXPECT_TRUE(a.IsAncestorOf(&a1));
  EXPECT_FALSE(b.IsAncestorOf(&a1));
  m.Remove(a);
  EXPECT_EQ(Shape(m), "B ");
  EXPECT_EQ(rec.Events.back(), "-A");
  m.RemoveObserver(&rec);
}

TEST(TreeModel, StoresAndLoadsWithPreOrderDirectoriesKeepingUnknownClasses) {
  TKVTreeModel m;
  TKVTreeItem& a = m.Insert(nullptr, "Source");
  auto note = std::make_unique<TNote>();
  note->Text = "kept";
  TKVTreeItem& n = m.Insert(&a, "Note", std::move(note));
  n.SetState(tisExpanded | tisSelected | tisFocused);
  m.Insert(&n, "Deep");
  m.Insert(nullptr, "Second");

  auto doc = KVMakeRef<TKVPersistentData>(&KVMemoryDocStorageClass, "");
  ASSERT_TRUE(doc->OpenDir("\\QXD", true));
  m.StoreTree(*doc);
  ASSERT_TRUE(doc->OpenDir("\\QXD\\.\\00000\\.\\00001", false));
  EXPECT_EQ(doc->ReadString("DataClassName", "?"), "TNote");
  EXPECT_EQ(doc->ReadString("ImageIdx", "none"), "none");  // the data stores its item's values itself
  ASSERT_TRUE(doc->OpenDir("\\QXD\\.\\00000", false));
  EXPECT_EQ(doc->ReadString("ImageIdx", "none"), "none");  // equal to the default
  ASSERT_TRUE(doc->OpenDir("\\QXD\\.\\00003", false));
  EXPECT_EQ(doc->ReadString("Title", ""), "Second");

  // Only TNote is known here: the others load as plain items and keep their stored class names.
  ASSERT_TRUE(doc->OpenDir("\\QXD\\.\\00000", true));
  doc->WriteString("DataClassName", "TFromANewerVersion");
  ASSERT_TRUE(doc->OpenDir("\\QXD", false));
  TKVTreeModel loaded;
  loaded.LoadTree(*doc, [](const std::string& cls) -> std::unique_ptr<TKVTreeNodeData> {
    if (cls == "TNote") return std::make_unique<TNote>();
    return nullptr;
  });
  EXPECT_EQ(Shape(loaded), "Source .Note* ..Deep Second ");
  TKVTreeItem* ln = loaded.ItemAtPreOrder(1);
  EXPECT_EQ(ln->DataAs<TNote>()->Text, "kept");
  EXPECT_EQ(ln->State(), tisExpanded);  // focus and selection are not restored
  EXPECT_EQ(loaded.ItemAtPreOrder(0)->DataClassName(), "TFromANewerVersion");
  EXPECT_EQ(loaded.ItemAtPreOrder(0)->ImageIndex(), kNoImage);
}

}  // namespace

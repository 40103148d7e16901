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

TEST(TreeModel, SiblingPositionsFollowInsertionsMovesAndRemovals) {
  TKVTreeModel m;
  std::vector<TKVTreeItem*> items;
  for (int i = 0; i < 6; ++i) items.push_back(&m.Insert(nullptr, std::to_string(i)));
  auto order = [&] {
    std::string r;
    for (TKVTreeItem* i = m.FirstTopLevel(); i; i = i->NextSiblingItem()) r += i->Title() + "@" + std::to_string(i->Index()) + " ";
    return r;
  };
  EXPECT_EQ(order(), "0@0 1@1 2@2 3@3 4@4 5@5 ");
  m.Insert(nullptr, "x", nullptr, 2);
  EXPECT_EQ(order(), "0@0 1@1 x@2 2@3 3@4 4@5 5@6 ");
  m.MoveTo(*items[5], 0);
  EXPECT_EQ(order(), "5@0 0@1 1@2 x@3 2@4 3@5 4@6 ");
  m.Remove(*items[1]);
  EXPECT_EQ(order(), "5@0 0@1 x@2 2@3 3@4 4@5 ");
  EXPECT_EQ(items[4]->PrevSiblingItem(), items[3]);
  EXPECT_EQ(items[4]->NextSiblingItem(), nullptr);
  m.MoveTo(*items[0], 99);
  EXPECT_EQ(order(), "5@0 x@1 2@2 3@3 4@4 0@5 ");
}

TEST(TreeModel, TreesNestedThousandsDeepAndWideStoreLoadVisitAndFree) {
  const int depth = 1000, width = 3000;
  auto model = std::make_unique<TKVTreeModel>();
  TKVTreeItem* bottom = nullptr;
  for (int i = 0; i < depth; ++i) bottom = &model->Insert(bottom, "n" + std::to_string(i));
  for (int i = 0; i < width; ++i) model->Insert(bottom, "w" + std::to_string(i));
  EXPECT_EQ(model->Count(), static_cast<size_t>(depth + width));
  EXPECT_EQ(bottom->Level(), depth - 1);

  auto doc = KVMakeRef<TKVPersistentData>(&KVMemoryDocStorageClass, "");
  ASSERT_TRUE(doc->OpenDir("\\QXD", true));
  model->StoreTree(*doc);
  model.reset();  // freed level by level

  TKVTreeModel loaded;
  ASSERT_TRUE(doc->OpenDir("\\QXD", false));
  loaded.LoadTree(*doc, [](const std::string&) -> std::unique_ptr<TKVTreeNodeData> { return nullptr; });
  int visited = 0;
  bool inOrder = true;
  loaded.ForEach([&](TKVTreeItem& item) {
    std::string want = visited < depth ? "n" + std::to_string(visited) : "w" + std::to_string(visited - depth);
    inOrder = inOrder && item.Title() == want;
    ++visited;
    return true;
  });
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(visited, depth + width);
  TKVTreeItem* last = loaded.ItemAtPreOrder(depth + width - 1);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->Title(), "w" + std::to_string(width - 1));
  EXPECT_EQ(last->Index(), static_cast<size_t>(width - 1));
  int siblings = 0;
  for (TKVTreeItem* i = last->Parent()->FirstChildItem(); i; i = i->NextSiblingItem()) ++siblings;
  EXPECT_EQ(siblings, width);
}

}  // namespace

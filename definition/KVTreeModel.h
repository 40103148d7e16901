#pragma once
// The tree model behind the definition tree view: items with a title, Win32-style item state bits, image
// indices, ordered children and owned node data. Every change is announced to observers, so that a view
// can follow the model and a document can mark itself modified through one notification.
//
// Ownership: the model owns its items, each item owns its children and its node data; removing an item
// destroys its subtree. Items are addressed by pointer; a pointer stays valid until its item is removed.
// Not thread-safe: the tree must not change while a run reads it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/KVRefObject.h"
#include "storage/KVStorage.h"

class TKVTreeItem;
class TKVTreeModel;

// Item state bits (low byte of a tree-view item state).
constexpr uint8_t tisFocused = 0x01, tisSelected = 0x02, tisCut = 0x04, tisDropHilited = 0x08, tisBold = 0x10,
                  tisExpanded = 0x20, tisExpandedOnce = 0x40, tisExpandPartial = 0x80;
// Selection, focus, drop highlight and expansion are the view's business, and bold shows a validation result:
// changing them does not modify the document.
constexpr uint8_t kViewOnlyStates = tisFocused | tisSelected | tisDropHilited | tisBold | tisExpanded |
                                    tisExpandedOnce | tisExpandPartial;
// Validation results are not part of a document.
constexpr uint8_t kUnstoredStates = tisBold;
// Image index an item has until its node class sets one.
constexpr int kNoImage = 0xFFFE;

// Base of the data attached to a tree item. The item owns it.
class TKVTreeNodeData : public TKVRefLifeObject, public IKVLoadStoreData {
 public:
  ~TKVTreeNodeData() override = default;
  std::string ClassName() const override { return "TKVTreeNodeData"; }
  void* GetInterface(const TGUID& iid) override;

  TKVTreeItem* Item() const { return m_Item; }
  // True when the data stores its item's title itself, so the item skips "ImageIdx"/"SelectedImgIdx".
  virtual bool SkipsItemValues() const { return false; }
  virtual std::string GetHintText() const { return {}; }
  void LoadData(IKVStorage&) override {}
  void StoreData(IKVStorage&) override {}

 private:
  friend class TKVTreeItem;
  friend class TKVTreeModel;
  TKVTreeItem* m_Item = nullptr;
};

class TKVTreeItem : public IKVVsdTreeNode {
 public:
  TKVTreeItem(const TKVTreeItem&) = delete;
  TKVTreeItem& operator=(const TKVTreeItem&) = delete;
  ~TKVTreeItem() override;

  TKVTreeModel& Model() const { return *m_Model; }
  // Null for top-level items.
  TKVTreeItem* Parent() const;
  const std::string& Title() const { return m_Title; }
  uint8_t State() const { return m_State; }
  int ImageIndex() const { return m_Image; }
  int SelectedImageIndex() const { return m_SelectedImage; }
  int StateImageIndex() const { return m_StateImage; }
  TKVTreeNodeData* Data() const { return m_Data.get(); }
  // The node data's class name, or for an item loaded without data (its class unknown here) the name it
  // was stored with, so that saving it again keeps the name.
  std::string DataClassName() const;
  template <class T>
  T* DataAs() const {
    return dynamic_cast<T*>(m_Data.get());
  }

  size_t ChildCount() const { return m_Children.size(); }
  TKVTreeItem* Child(size_t index) const { return m_Children[index].get(); }
  TKVTreeItem* FirstChildItem() const { return m_Children.empty() ? nullptr : m_Children.front().get(); }
  TKVTreeItem* LastChildItem() const { return m_Children.empty() ? nullptr : m_Children.back().get(); }
  TKVTreeItem* NextSiblingItem() const;
  TKVTreeItem* PrevSiblingItem() const;
  // Position among the siblings.
  size_t Index() const;
  // Depth below the top level (top-level items: 0).
  int Level() const;
  bool IsAncestorOf(const TKVTreeItem* item) const;

  // Setters announce the change when the value differs.
  void SetTitle(const std::string& title);
  void SetState(uint8_t state);
  void SetStateBits(uint8_t bits, bool on) { SetState(on ? (m_State | bits) : (m_State & ~bits)); }
  void SetImageIndex(int index);
  void SetSelectedImageIndex(int index);
  void SetStateImageIndex(int index);
  // Replaces the node data (the old data is destroyed).
  void SetData(std::unique_ptr<TKVTreeNodeData> data);

  // IKVVsdTreeNode: children and siblings for whole-tree storage; the persistence writes the item's own
  // values, then the data's.
  IKVVsdTreeNode* FirstChild() override { return FirstChildItem(); }
  IKVVsdTreeNode* NextSibling() override { return NextSiblingItem(); }
  IKVLoadStoreData* LoadStore() override { return &m_Persistence; }

 private:
  friend class TKVTreeModel;
  TKVTreeItem(TKVTreeModel* model, TKVTreeItem* parent, std::string title);

  // The item's own values ("DataClassName", "ImageIdx", "SelectedImgIdx", "State", "Title") around the
  // node data's.
  class Persistence : public IKVLoadStoreData {
   public:
    explicit Persistence(TKVTreeItem& item) : m_Item(item) {}
    void LoadData(IKVStorage& storage) override;
    void StoreData(IKVStorage& storage) override;

   private:
    TKVTreeItem& m_Item;
  };

  TKVTreeModel* m_Model;
  TKVTreeItem* m_Parent;  // the model's hidden root for top-level items
  std::string m_Title;
  uint8_t m_State = 0;
  int m_Image = kNoImage, m_SelectedImage = kNoImage, m_StateImage = 0;
  std::unique_ptr<TKVTreeNodeData> m_Data;
  std::string m_StoredClassName;
  std::vector<std::unique_ptr<TKVTreeItem>> m_Children;
  mutable size_t m_IndexHint = 0;  // where the item last was among its siblings
  Persistence m_Persistence{*this};
};

// What changed about an item.
enum class TKVItemChange { Title, State, Image, Data };

class IKVTreeModelObserver {
 public:
  virtual ~IKVTreeModelObserver() = default;
  virtual void ItemInserted(TKVTreeItem& /*item*/) {}
  // Before the item and its subtree are destroyed.
  virtual void ItemRemoving(TKVTreeItem& /*item*/) {}
  virtual void ItemMoved(TKVTreeItem& /*item*/) {}
  virtual void ItemChanged(TKVTreeItem& /*item*/, TKVItemChange /*what*/) {}
  // After every change of the tree's content (not of selection, focus or expansion alone).
  virtual void ModelModified() {}
};

class TKVTreeModel {
 public:
  TKVTreeModel();
  ~TKVTreeModel();
  TKVTreeModel(const TKVTreeModel&) = delete;
  TKVTreeModel& operator=(const TKVTreeModel&) = delete;

  size_t TopLevelCount() const { return m_Root->ChildCount(); }
  TKVTreeItem* TopLevel(size_t index) const { return m_Root->Child(index); }
  TKVTreeItem* FirstTopLevel() const { return m_Root->FirstChildItem(); }
  bool Empty() const { return m_Root->ChildCount() == 0; }

  // Inserts a new item under `parent` (null: top level) at `index` (clamped; -1 or beyond: appended).
  TKVTreeItem& Insert(TKVTreeItem* parent, const std::string& title, std::unique_ptr<TKVTreeNodeData> data = nullptr,
                      int index = -1);
  // Removes the item with its subtree.
  void Remove(TKVTreeItem& item);
  void Clear();
  // Moves an item among its siblings to `index` (clamped).
  void MoveTo(TKVTreeItem& item, size_t index);

  // Every item in pre-order; the visitor returns false to stop.
  void ForEach(const std::function<bool(TKVTreeItem&)>& visit) const;
  size_t Count() const;
  // Pre-order index of an item (-1 when not in this model) and the item at a pre-order index (null).
  int PreOrderIndex(const TKVTreeItem* item) const;
  TKVTreeItem* ItemAtPreOrder(int index) const;

  void AddObserver(IKVTreeModelObserver* observer);
  void RemoveObserver(IKVTreeModelObserver* observer);

  // Makes node data from a stored class name while a tree is loaded (null: a plain item without data).
  using TNodeDataFactory = std::function<std::unique_ptr<TKVTreeNodeData>(const std::string& className)>;
  // Stores every item into ".\NNNNN" directories below the storage's current directory (pre-order numbers).
  void StoreTree(IKVStorage& storage) const;
  // Rebuilds the tree (appended to what is there) from the subdirectories of "." below the current directory;
  // the stored top-level nodes become the last children of `parent` (null: the top level).
  void LoadTree(IKVStorage& storage, const TNodeDataFactory& factory, TKVTreeItem* parent = nullptr);

  // Announcements (items call these).
  void NotifyChanged(TKVTreeItem& item, TKVItemChange what, bool modifiesContent);

 private:
  friend class TKVTreeItem;
  void NotifyModified();
  std::unique_ptr<TKVTreeItem> m_Root;
  std::vector<IKVTreeModelObserver*> m_Observers;
};

#include "definition/KVTreeModel.h"

#include <algorithm>

#include "foundation/KVExceptions.h"

void* TKVTreeNodeData::GetInterface(const TGUID& iid) {
  if (iid == IKVLoadStoreData::IID) return static_cast<IKVLoadStoreData*>(this);
  return TKVRefLifeObject::GetInterface(iid);
}

// --- Items -----------------------------------------------------------------------------------------------

TKVTreeItem::TKVTreeItem(TKVTreeModel* model, TKVTreeItem* parent, std::string title)
    : m_Model(model), m_Parent(parent), m_Title(std::move(title)) {}

TKVTreeItem::~TKVTreeItem() {
  // Post-order as before (every subtree before the item it hangs from, siblings first to last), but with a
  // stack of our own: trees nest deeper than the call stack allows.
  struct TFrame {
    TKVTreeItem* Item;
    size_t Next;
  };
  std::vector<TFrame> frames{{this, 0}};
  while (!frames.empty()) {
    TFrame& f = frames.back();
    if (f.Next < f.Item->m_Children.size()) {
      TKVTreeItem* child = f.Item->m_Children[f.Next].get();
      if (child && !child->m_Children.empty())
        frames.push_back({child, 0});
      else
        f.Item->m_Children[f.Next++].reset();
      continue;
    }
    f.Item->m_Children.clear();
    frames.pop_back();
  }
}

TKVTreeItem* TKVTreeItem::Parent() const {
  return m_Parent == m_Model->m_Root.get() ? nullptr : m_Parent;
}

size_t TKVTreeItem::Index() const {
  const auto& siblings = m_Parent->m_Children;
  if (m_IndexHint < siblings.size() && siblings[m_IndexHint].get() == this) return m_IndexHint;
  // Siblings moved: every hint of the level is renewed at once, so walking a level stays linear.
  size_t found = siblings.size();
  for (size_t i = 0; i < siblings.size(); ++i) {
    siblings[i]->m_IndexHint = i;
    if (siblings[i].get() == this) found = i;
  }
  return found;
}

TKVTreeItem* TKVTreeItem::NextSiblingItem() const {
  if (!m_Parent) return nullptr;
  size_t i = Index() + 1;
  return i < m_Parent->m_Children.size() ? m_Parent->m_Children[i].get() : nullptr;
}

TKVTreeItem* TKVTreeItem::PrevSiblingItem() const {
  if (!m_Parent) return nullptr;
  size_t i = Index();
  return i > 0 ? m_Parent->m_Children[i - 1].get() : nullptr;
}

int TKVTreeItem::Level() const {
  int level = 0;
  for (const TKVTreeItem* p = Parent(); p; p = p->Parent()) ++level;
  return level;
}

bool TKVTreeItem::IsAncestorOf(const TKVTreeItem* item) const {
  for (const TKVTreeItem* p = item ? item->Parent() : nullptr; p; p = p->Parent())
    if (p == this) return true;
  return false;
}

std::string TKVTreeItem::DataClassName() const { return m_Data ? m_Data->ClassName() : m_StoredClassName; }

void TKVTreeItem::SetTitle(const std::string& title) {
  if (title == m_Title) return;
  m_Title = title;
  m_Model->NotifyChanged(*this, TKVItemChange::Title, true);
}

void TKVTreeItem::SetState(uint8_t state) {
  if (state == m_State) return;
  bool content = ((state ^ m_State) & ~kViewOnlyStates) != 0;
  m_State = state;
  m_Model->NotifyChanged(*this, TKVItemChange::State, content);
}

void TKVTreeItem::SetImageIndex(int index) {
  if (index == m_Image) return;
  m_Image = index;
  m_Model->NotifyChanged(*this, TKVItemChange::Image, false);
}

void TKVTreeItem::SetSelectedImageIndex(int index) {
  if (index == m_SelectedImage) return;
  m_SelectedImage = index;
  m_Model->NotifyChanged(*this, TKVItemChange::Image, false);
}

void TKVTreeItem::SetStateImageIndex(int index) {
  if (index == m_StateImage) return;
  m_StateImage = index;
  m_Model->NotifyChanged(*this, TKVItemChange::Image, false);
}

void TKVTreeItem::SetData(std::unique_ptr<TKVTreeNodeData> data) {
  if (m_Data) m_Data->m_Item = nullptr;
  m_Data = std::move(data);
  if (m_Data) m_Data->m_Item = this;
  m_Model->NotifyChanged(*this, TKVItemChange::Data, true);
}

void TKVTreeItem::Persistence::StoreData(IKVStorage& s) {
  TKVTreeItem& item = m_Item;
  s.WriteString("DataClassName", item.DataClassName());
  bool skip = item.m_Data && item.m_Data->SkipsItemValues();
  if (!skip) {
    KVWriteIntegerIfDiffers(s, "ImageIdx", item.m_Image, kNoImage);
    KVWriteIntegerIfDiffers(s, "SelectedImgIdx", item.m_SelectedImage, kNoImage);
  }
  KVWriteIntegerIfDiffers(s, "State", item.m_State & ~kUnstoredStates, 0);
  KVWriteStringIfDiffers(s, "Title", item.m_Title, "");
  if (item.m_Data) item.m_Data->StoreData(s);
}

void TKVTreeItem::Persistence::LoadData(IKVStorage& s) {
  // Focus and selection are not restored from a file, nor a validation's bold that an older file may hold.
  m_Item.SetState(static_cast<uint8_t>(s.ReadInteger("State", 0) & ~(kUnstoredStates | tisFocused | tisSelected)));
  if (m_Item.m_Data) m_Item.m_Data->LoadData(s);
}

// --- Model -----------------------------------------------------------------------------------------------

TKVTreeModel::TKVTreeModel() : m_Root(new TKVTreeItem(this, nullptr, std::string())) {}

TKVTreeModel::~TKVTreeModel() {
  // Children go first, while the model they point to is still whole.
  m_Root->m_Children.clear();
}

TKVTreeItem& TKVTreeModel::Insert(TKVTreeItem* parent, const std::string& title,
                                  std::unique_ptr<TKVTreeNodeData> data, int index) {
  TKVTreeItem* p = parent ? parent : m_Root.get();
  if (&p->Model() != this) throw EKVException("The parent item belongs to another tree", nullptr, "TKVTreeModel.Insert");
  std::unique_ptr<TKVTreeItem> item(new TKVTreeItem(this, p, title));
  if (data) {
    data->m_Item = item.get();
    item->m_Data = std::move(data);
  }
  auto& children = p->m_Children;
  size_t at = index < 0 || static_cast<size_t>(index) > children.size() ? children.size() : static_cast<size_t>(index);
  TKVTreeItem& ref = *item;
  item->m_IndexHint = at;
  children.insert(children.begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
  for (auto* o : m_Observers) o->ItemInserted(ref);
  NotifyModified();
  return ref;
}

void TKVTreeModel::Remove(TKVTreeItem& item) {
  if (&item == m_Root.get()) return;
  for (auto* o : m_Observers) o->ItemRemoving(item);
  auto& siblings = item.m_Parent->m_Children;
  auto it = siblings.begin() + static_cast<std::ptrdiff_t>(item.Index());
  if (it == siblings.end()) return;
  std::unique_ptr<TKVTreeItem> doomed = std::move(*it);
  siblings.erase(it);
  doomed.reset();
  NotifyModified();
}

void TKVTreeModel::Clear() {
  while (!m_Root->m_Children.empty()) Remove(*m_Root->m_Children.back());
}

void TKVTreeModel::MoveTo(TKVTreeItem& item, size_t index) {
  auto& siblings = item.m_Parent->m_Children;
  size_t from = item.Index();
  if (index >= siblings.size()) index = siblings.size() - 1;
  if (from == index) return;
  std::unique_ptr<TKVTreeItem> moving = std::move(siblings[from]);
  siblings.erase(siblings.begin() + static_cast<std::ptrdiff_t>(from));
  siblings.insert(siblings.begin() + static_cast<std::ptrdiff_t>(index), std::move(moving));
  for (auto* o : m_Observers) o->ItemMoved(item);
  NotifyModified();
}

void TKVTreeModel::ForEach(const std::function<bool(TKVTreeItem&)>& visit) const {
  // Pre-order with a stack of our own (trees nest deeper than the call stack allows). Each level keeps its
  // parent and the next child's position, so a visit that changes the tree finds what is there then.
  std::vector<std::pair<const TKVTreeItem*, size_t>> levels{{m_Root.get(), 0}};
  while (!levels.empty()) {
    auto& [parent, next] = levels.back();
    if (next >= parent->ChildCount()) {
      levels.pop_back();
      continue;
    }
    TKVTreeItem& item = *parent->Child(next++);
    if (!visit(item)) return;
    levels.emplace_back(&item, 0);
  }
}

size_t TKVTreeModel::Count() const {
  size_t n = 0;
  ForEach([&](TKVTreeItem&) {
    ++n;
    return true;
  });
  return n;
}

int TKVTreeModel::PreOrderIndex(const TKVTreeItem* item) const {
  int i = 0, found = -1;
  ForEach([&](TKVTreeItem& it) {
    if (&it == item) {
      found = i;
      return false;
    }
    ++i;
    return true;
  });
  return found;
}

TKVTreeItem* TKVTreeModel::ItemAtPreOrder(int index) const {
  if (index < 0) return nullptr;
  int i = 0;
  TKVTreeItem* found = nullptr;
  ForEach([&](TKVTreeItem& it) {
    if (i++ == index) {
      found = &it;
      return false;
    }
    return true;
  });
  return found;
}

void TKVTreeModel::AddObserver(IKVTreeModelObserver* observer) { m_Observers.push_back(observer); }

void TKVTreeModel::RemoveObserver(IKVTreeModelObserver* observer) {
  m_Observers.erase(std::remove(m_Observers.begin(), m_Observers.end(), observer), m_Observers.end());
}

void TKVTreeModel::NotifyChanged(TKVTreeItem& item, TKVItemChange what, bool modifiesContent) {
  for (auto* o : m_Observers) o->ItemChanged(item, what);
  if (modifiesContent) NotifyModified();
}

void TKVTreeModel::NotifyModified() {
  for (auto* o : m_Observers) o->ModelModified();
}

void TKVTreeModel::StoreTree(IKVStorage& storage) const {
  int counter = 0;
  KVVsdStoreTree(storage, FirstTopLevel(), counter, true);
}

namespace {
class TItemFactory : public IKVVsdTreeNodeFactory {
 public:
  TItemFactory(TKVTreeModel& model, const TKVTreeModel::TNodeDataFactory& dataFactory)
      : m_Model(model), m_DataFactory(dataFactory) {}
  IKVVsdTreeNode* CreateNode(IKVVsdTreeNode* parent, IKVStorage& s) override {
    std::string className = s.ReadString("DataClassName", "");
    int image = s.ReadInteger("ImageIdx", kNoImage);
    int selectedImage = s.ReadInteger("SelectedImgIdx", kNoImage);
    std::string title = s.ReadString("Title", "");
    std::unique_ptr<TKVTreeNodeData> data = m_DataFactory ? m_DataFactory(className) : nullptr;
    bool known = data != nullptr;
    TKVTreeItem& item = m_Model.Insert(static_cast<TKVTreeItem*>(parent), title, std::move(data));
    if (!known) m_StoredNames.emplace_back(&item, className);
    item.SetImageIndex(image);
    item.SetSelectedImageIndex(selectedImage);
    return &item;
  }
  std::vector<std::pair<TKVTreeItem*, std::string>> m_StoredNames;

 private:
  TKVTreeModel& m_Model;
  const TKVTreeModel::TNodeDataFactory& m_DataFactory;
};
}  // namespace

void TKVTreeModel::LoadTree(IKVStorage& storage, const TNodeDataFactory& factory, TKVTreeItem* parent) {
  if (parent && &parent->Model() != this)
    throw EKVException("The parent item belongs to another tree", nullptr, "TKVTreeModel.LoadTree");
  TItemFactory itemFactory(*this, factory);
  KVVsdLoadTree(storage, parent, itemFactory, ".");
  for (auto& [item, name] : itemFactory.m_StoredNames) item->m_StoredClassName = name;
}

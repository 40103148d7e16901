#include "definition/QXDClipboard.h"

#include "foundation/KVConvert.h"
#include "storage/KVCompoundStorage.h"
#include "storage/KVPersistentData.h"

void TQXDMemoryClipboard::SetImage(const std::string& format, const std::string& bytes) {
  // Like the system clipboard: a new content replaces all formats of the old one.
  m_Images.clear();
  m_Images.emplace_back(format, bytes);
}

bool TQXDMemoryClipboard::HasFormat(const std::string& format) const { return GetImage(format).has_value(); }

std::optional<std::string> TQXDMemoryClipboard::GetImage(const std::string& format) const {
  for (const auto& [f, bytes] : m_Images)
    if (KVSameText(f, format)) return bytes;
  return std::nullopt;
}

namespace {

TKVMemoryDocStorage& MemoryStorage(TKVPersistentData& data) {
  return static_cast<TKVMemoryDocStorage&>(data.Storage());
}

}  // namespace

std::string QXDStoreSubtreeImage(TKVTreeItem& item) {
  auto data = KVMakeRef<TKVPersistentData>(&KVMemoryDocStorageClass, std::string());
  KVVsdOpenDirAbsolute(*data, "", true);
  int counter = 0;
  KVVsdStoreTree(*data, &item, counter, false);
  data->Commit();
  return MemoryStorage(*data).GetImage();
}

namespace {

// A persistent data object over the image, positioned at its root. Reading the directory list opens the
// image: a damaged one raises here, before the tree is touched.
TKVRef<TKVPersistentData> OpenImage(const std::string& image) {
  auto data = KVMakeRef<TKVPersistentData>(&KVMemoryDocStorageClass, std::string());
  MemoryStorage(*data).SetImage(image);
  KVVsdOpenDirAbsolute(*data, "", false);
  data->ReadSubDirNames();
  return data;
}

// Whether every node stored at the top of the image is of the kind (the format promised it, but another
// program may have put anything under it).
bool TopNodesAre(TKVPersistentData& data, const TQXDNodeKind& kind) {
  TKVVsdDirPathKeeper keeper(data, ".", false);
  if (!keeper.Opened()) return false;
  TKVStringArray names = data.ReadSubDirNames();
  if (names.empty()) return false;
  for (const auto& name : names) {
    TKVVsdDirPathKeeper node(data, name, false);
    if (!node.Opened()) return false;
    std::unique_ptr<TKVTreeNodeData> probe = QXDCreateNodeData(data.ReadString("DataClassName", ""));
    if (!kind.IsInstance(probe.get())) return false;
  }
  return true;
}

TKVTreeItem* LoadImage(TKVPersistentData& data, TKVTreeModel& model, TKVTreeItem* parent) {
  size_t before = parent ? parent->ChildCount() : model.TopLevelCount();
  model.LoadTree(data, QXDCreateNodeData, parent);
  size_t after = parent ? parent->ChildCount() : model.TopLevelCount();
  if (after == before) return nullptr;
  return parent ? parent->Child(before) : model.TopLevel(before);
}

}  // namespace

TKVTreeItem* QXDLoadSubtreeImage(TKVTreeModel& model, TKVTreeItem* parent, const std::string& image) {
  TKVRef<TKVPersistentData> data = OpenImage(image);
  return LoadImage(*data, model, parent);
}

const TQXDNodeKind* QXDChoosePasteKind(const IQXDClipboard& clipboard, const TKVTreeItem* selected) {
  const auto& kinds = QXDNodeKinds();
  if (!selected) return clipboard.HasFormat(kinds[0].ClipboardFormat) ? &kinds[0] : nullptr;
  for (const auto& kind : kinds)
    if (!kind.AllowsTopLevel() && kind.AllowsParent(selected) && clipboard.HasFormat(kind.ClipboardFormat))
      return &kind;
  return nullptr;
}

bool QXDCopySubtree(IQXDClipboard& clipboard, TKVTreeItem* selected) {
  const TQXDNodeKind* kind = selected ? QXDFindNodeKind(selected) : nullptr;
  if (!kind) return false;
  clipboard.SetImage(kind->ClipboardFormat, QXDStoreSubtreeImage(*selected));
  return true;
}

bool QXDCutSubtree(IQXDClipboard& clipboard, TKVTreeModel& model, TKVTreeItem* selected) {
  if (!QXDCopySubtree(clipboard, selected)) return false;
  model.Remove(*selected);
  return true;
}

bool QXDCanPaste(const IQXDClipboard& clipboard, const TKVTreeItem* selected) {
  return QXDChoosePasteKind(clipboard, selected) != nullptr;
}

TKVTreeItem* QXDPasteSubtree(IQXDClipboard& clipboard, TKVTreeModel& model, TKVTreeItem* selected) {
  const TQXDNodeKind* kind = QXDChoosePasteKind(clipboard, selected);
  if (!kind) return nullptr;
  std::optional<std::string> image = clipboard.GetImage(kind->ClipboardFormat);
  if (!image) return nullptr;
  TKVRef<TKVPersistentData> data = OpenImage(*image);
  if (!TopNodesAre(*data, *kind)) return nullptr;
  return LoadImage(*data, model, selected);
}

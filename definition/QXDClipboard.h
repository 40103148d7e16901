#pragma once
// Copy, cut and paste of a subtree of the definition, within one document or between two documents or
// two running programs.
//
// A subtree travels as a byte image: the complete bytes of an in-memory compound document holding the
// same node directories a document holds below "\QXD" — the root holds "." which holds "00000" with the
// top node's values, every node's children lie in its own "." numbered in pre-order over the subtree
// ("00001", "00002", ...). The image is offered under the format name of the top node's kind (the node
// kind table's clipboard format, a GUID text), which tells a paste where the subtree may go.
//
// The clipboard itself is an interface: the GUI puts the system clipboard behind it, headless tools and
// tests use TQXDMemoryClipboard. The operations answer whether they did anything; where they did not (no
// selection, no kind, no fitting format) the GUI beeps, and nothing has changed.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "definition/KVTreeModel.h"
#include "definition/QXDTree.h"

class IQXDClipboard {
 public:
  virtual ~IQXDClipboard() = default;
  // Replaces the clipboard's content by one image under one format.
  virtual void SetImage(const std::string& format, const std::string& bytes) = 0;
  // Whether an image of the format (letter case ignored) is offered.
  virtual bool HasFormat(const std::string& format) const = 0;
  // The image of the format; nullopt when none is offered.
  virtual std::optional<std::string> GetImage(const std::string& format) const = 0;
};

// A clipboard inside the process.
class TQXDMemoryClipboard : public IQXDClipboard {
 public:
  void SetImage(const std::string& format, const std::string& bytes) override;
  bool HasFormat(const std::string& format) const override;
  std::optional<std::string> GetImage(const std::string& format) const override;
  void Clear() { m_Images.clear(); }

 private:
  std::vector<std::pair<std::string, std::string>> m_Images;
};

// The image of `item` with its whole subtree (the node values of a document).
std::string QXDStoreSubtreeImage(TKVTreeItem& item);
// Appends the subtree held by an image as the last child of `parent` (null: top level) and returns its top
// item (null when the image holds no node). Nodes of unknown classes load as plain items; recordset nodes
// bind to the connection of the database node they land under. An image that is no compound document
// raises EKVHrException ("RootStorage ..."); the tree is then unchanged.
TKVTreeItem* QXDLoadSubtreeImage(TKVTreeModel& model, TKVTreeItem* parent, const std::string& image);

// The kind whose format a paste onto `selected` (null: nothing selected) uses: with nothing selected the
// source database kind, when offered; otherwise the first kind in row order whose format is offered and
// whose parent class the selected node's data is an instance of. Null when no format fits.
const TQXDNodeKind* QXDChoosePasteKind(const IQXDClipboard& clipboard, const TKVTreeItem* selected);

// "Copy Subtree": puts the image of `selected` under its kind's format. False (nothing done) without a
// selection or when the node has no kind.
bool QXDCopySubtree(IQXDClipboard& clipboard, TKVTreeItem* selected);
// "Cut Subtree": copies, then removes the node with its subtree without asking. False as for copy.
bool QXDCutSubtree(IQXDClipboard& clipboard, TKVTreeModel& model, TKVTreeItem* selected);
// Whether "Paste Subtree" is possible with this selection.
bool QXDCanPaste(const IQXDClipboard& clipboard, const TKVTreeItem* selected);
// "Paste Subtree": loads the chosen image as the last child of `selected` (top level when null) and
// returns the pasted top item; null (nothing done) when no format fits or the image's top node is not
// of the kind its format names. A damaged image raises as QXDLoadSubtreeImage does (nothing done).
TKVTreeItem* QXDPasteSubtree(IQXDClipboard& clipboard, TKVTreeModel& model, TKVTreeItem* selected);

#pragma once
// The QXD document: one reorganization definition with its storage, in the textual (".qxt", INI file) or
// the binary (".qxs", compound file) format, plus the desktop values kept with it.
//
// Layout of a document's storage (values at their default are not written):
//   \GeneralSettings   "DataFormatGUID" (always, kQXDataFormatGUID), "ReportFormVisible",
//                      "FunctionFormVisible" (false)
//   \QXD               "SelectedNodeIdx" (0x80000000 = none), "VScrollPos", "HScrollPos" (0); the nodes in
//                      ".\NNNNN" directories numbered in pre-order over the whole tree, each node's children
//                      in its own "." (see QXDTree.h for the values of each node kind)
//   \WindowList\NNNNN  one directory per open tool window ("ClassName" and the window's values)
//   \Schemata          schema data of the schema pages
//   \MainWindow        the main window's placement
// Directories the document does not write itself (\Schemata, and \WindowList and \MainWindow when no GUI
// manages them) are kept as they are, also through "Save As" into the other format.
//
// The file is never changed by loading. A save writes into the document's storage and commits it; "Save
// As" builds the new file beside the target under a temporary name and renames it over the target only
// when it is complete, so an existing file is either replaced whole or left as it was.
//
// The steps that need windows (asking to save, tool windows, wait cursor, title) go through
// IQXDocumentHost, which a GUI implements; without a host the document runs headless.
#include <array>
#include <memory>
#include <string>

#include "definition/QXDTreeOps.h"
#include "foundation/KVRefObject.h"
#include "storage/KVPersistentData.h"

// The data-format identifier every document carries and every open requires.
inline constexpr const char* kQXDataFormatGUID = "{C1CE532E-C8F3-4cc4-915D-B90F532B3B19}";
// The caption of a document without a file name.
inline constexpr const char* kQXNewDocumentCaption = "New reorganization definition";

// --- File formats ------------------------------------------------------------------------------------------

struct TQXFileFormat {
  const char* Extension;    // null in the last row
  const char* Description;  // null in the last row
  TKVStorageClass StorageClass;
};
enum : int { qffTextual = 0, qffBinary = 1, qffNone = 2 };

// "qxt" "Textual File Format" text storage; "qxs" "Binary File Format" compound storage; a row of nulls.
const std::array<TQXFileFormat, 3>& QXFileFormats();
// The row for a file name by its extension (text after the last "."; letter case ignored); qffNone when no
// row matches.
int QXFileFormatIndex(const std::string& fileName);
// The row a file dialog pre-selects: that of the file name, the binary row for an empty name.
int QXFileDialogFormatIndex(const std::string& fileName);
// The dialog filter: "%s (*.%s)" NUL "*.%s" NUL per row with an extension, then "All Files" NUL "*" NUL.
std::string QXFileDialogFilter();

// The storage class that reads a file, or null for an unsupported file. Raises EKVException when the file
// does not exist.
TKVStorageClass TestFileFormat(const std::string& fileName);
// Raises EKVException unless the file's "DataFormatGUID" is kQXDataFormatGUID (letter case ignored). The
// file is only read.
void CheckDataFormatGUID(const std::string& fileName, TKVStorageClass storageClass);
// Whether the file carries kQXDataFormatGUID: a reorganization definition rather than any other storage.
// Raises only when the file cannot be read at all.
bool QXHasDataFormatGUID(const std::string& fileName, TKVStorageClass storageClass);

// --- Host --------------------------------------------------------------------------------------------------

class TQXDocument;

// The window side of the document's steps. Every operation has a headless default.
class IQXDocumentHost {
 public:
  virtual ~IQXDocumentHost() = default;
  // Before another document replaces this one: the main window asks to save a modified document (and
  // saves it). False cancels the operation. Default: go on.
  virtual bool QueryCloseDocument(TQXDocument& /*document*/) { return true; }
  // "Save As" without a name: the save dialog. False when the user cancels. Default: cancel.
  virtual bool ChooseSaveFileName(TQXDocument& /*document*/, std::string& /*fileName*/) { return false; }
  // The caption or the modified flag changed.
  virtual void TitleChanged(TQXDocument& /*document*/) {}
  // A document was loaded from or saved to a file (recent files, "LastFileName").
  virtual void FileUsed(const std::string& /*fileName*/) {}
  // Around long steps (wait cursor, suspended painting).
  virtual void BeginWait() {}
  virtual void EndWait() {}
  // An error of a step that goes on after it (window list, desktop). Default: KVHandleException.
  virtual void ShowError(const std::exception& e);

  // --- tool windows
  // Whether the host manages tool windows and a main window. Without (headless), \WindowList and
  // \MainWindow are left as they are in the storage.
  virtual bool ManagesWindows() const { return false; }
  // Open step 6: closes the tool windows of the window list and frees the report and function windows.
  virtual void CloseToolWindows() {}
  // Open step 9: show the report window / the function list.
  virtual void ShowReportWindow() {}
  virtual void ShowFunctionList() {}
  // Whether the report window / the function list is open (stored with the document).
  virtual bool ReportFormVisible() const { return false; }
  virtual bool FunctionFormVisible() const { return false; }
  // Creates a tool window of the registered class and lets it load its values from the storage's current
  // directory (\WindowList\NNNNN). Raising is shown and the load goes on.
  virtual void LoadToolWindow(const std::string& /*className*/, IKVStorage& /*storage*/) {}
  // The number of open tool windows, and storing window `index` (its "ClassName" and values) into the
  // storage's current directory.
  virtual int ToolWindowCount() const { return 0; }
  virtual void StoreToolWindow(int /*index*/, IKVStorage& /*storage*/) {}
  // Stores the main window's placement into the storage's current directory (\MainWindow).
  virtual void StoreMainWindow(IKVStorage& /*storage*/) {}
};

// --- Document ----------------------------------------------------------------------------------------------

class IQXDocument {
 public:
  static constexpr TGUID IID = KVGuid("{7E2B5C90-3A14-4F6D-A8C1-5B9E0D27F346}");
  virtual ~IQXDocument() = default;
  virtual TQXDocument& Document() = 0;
};

class TQXDocument : public TKVRefLifeObject, public IQXDocument, private IKVTreeModelObserver {
 public:
  // A new document: no file name, binary format, in memory. `treeSettings` are the user settings the tree
  // operations read (may be null); `host` may be null (headless) and must outlive the document.
  explicit TQXDocument(IQXDTreeSettings* treeSettings = nullptr, IQXDocumentHost* host = nullptr);
  ~TQXDocument() override;
  std::string ClassName() const override { return "TQXDocument"; }
  std::string GetObjectName() const override { return Caption(); }
  void* GetInterface(const TGUID& iid) override;
  TQXDocument& Document() override { return *this; }

  TQXDTreeView& Tree() { return m_Tree; }
  const TQXDTreeView& Tree() const { return m_Tree; }
  // The persistent data object (replaced by New; its storage replaced by opening and "Save As").
  TKVPersistentData& Data() { return *m_Data; }
  // Through the checked interface query (raises naming "TQXDocument.Storage").
  IKVStorage& Storage();
  IKVPersistentValues& PersistentValues() { return *m_Data; }
  TKVStorageClass StorageClass() const { return m_Data->StorageClass(); }

  // Empty for a new document.
  std::string FileName() const;
  bool IsNew() const { return FileName().empty(); }
  // The file name, or "New reorganization definition".
  std::string Caption() const;

  // Set by every change of the tree; cleared by load and save.
  bool Modified() const { return m_Modified; }
  void SetModified(bool modified);

  // The report window and the function list were open (ids 4 and 5). Without a host that manages windows
  // the values read by the last load are kept and written again.
  bool ReportFormVisible() const { return m_ReportFormVisible; }
  bool FunctionFormVisible() const { return m_FunctionFormVisible; }

  // Opens a document file (LoadQXDFromFile). Returns false when nothing happened: the file is the open
  // one, it does not exist, or the host cancelled. Raises for a file of no known format, and the
  // errors of CheckDataFormatGUID, before anything changes. When loading the tree itself fails, the
  // document is left new and empty (never bound to a file it could not show whole) and the error passes on.
  bool LoadFromFile(const std::string& fileName);
  // The save step into the document's storage: identifier, tree (\QXD rebuilt), desktop values; then the
  // storage is committed and the document is not modified.
  void StoreDataAndDesktop();
  // The Save command: nothing when not modified; "Save As" without a file name; else StoreDataAndDesktop.
  // False when nothing was saved.
  bool Save();
  // Save As: with another name (letter case ignored), the storage switches to the new file (class by its
  // extension; an unknown extension keeps the current class) with everything of the old storage copied,
  // then the save step runs. With the same name just the save step. An empty name asks the host.
  // False when cancelled.
  bool SaveAs(const std::string& fileName = std::string());
  // The New command: asks the host, then an empty document in memory. False when cancelled.
  bool New();

 private:
  void ModelModified() override { SetModified(true); }
  void ResetToNew();
  void LoadDesktopAndTree();
  void StoreDesktop(IKVStorage& storage);
  void SaveToOtherFile(const std::string& fullName);

  IQXDocumentHost* m_Host;
  TQXDTreeView m_Tree;
  TKVRef<TKVPersistentData> m_Data;
  bool m_Modified = false;
  bool m_ReportFormVisible = false, m_FunctionFormVisible = false;
};

// Expands a file name to a full, normalised path.
std::string QXFullFileName(const std::string& fileName);

#include "definition/QXDocument.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "definition/QXSettings.h"
#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVTrace.h"
#include "storage/KVCompoundStorage.h"
#include "storage/KVFileFormat.h"
#include "storage/KVIniFileStorage.h"
#include "storage/KVTempFiles.h"

namespace fs = std::filesystem;

// --- File formats ------------------------------------------------------------------------------------------

const std::array<TQXFileFormat, 3>& QXFileFormats() {
  static const std::array<TQXFileFormat, 3> formats = {{
      {"qxt", "Textual File Format", &KVIniFileStorageClass},
      {"qxs", "Binary File Format", &KVCompoundDocStorageClass},
      {nullptr, nullptr, nullptr},
  }};
  return formats;
}

int QXFileFormatIndex(const std::string& fileName) {
  size_t dot = fileName.rfind('.');
  size_t slash = fileName.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return qffNone;
  std::string extension = fileName.substr(dot + 1);
  for (int i = 0; i < qffNone; ++i)
    if (KVSameText(extension, QXFileFormats()[i].Extension)) return i;
  return qffNone;
}

int QXFileDialogFormatIndex(const std::string& fileName) {
  return fileName.empty() ? qffBinary : QXFileFormatIndex(fileName);
}

std::string QXFileDialogFilter() {
  std::string filter;
  for (const auto& f : QXFileFormats()) {
    if (!f.Extension) continue;
    filter += std::string(f.Description) + " (*." + f.Extension + ")";
    filter += '\0';
    filter += std::string("*.") + f.Extension;
    filter += '\0';
  }
  filter += "All Files";
  filter += '\0';
  filter += "*";
  filter += '\0';
  return filter;
}

TKVStorageClass TestFileFormat(const std::string& fileName) { return KVTestFileFormat(fileName); }

namespace {
std::string ReadDataFormatGUID(const std::string& fileName, TKVStorageClass storageClass) {
  if (!storageClass)
    throw EKVException("Unsupported file format \"" + fileName + "\"", nullptr, "CheckDataFormatGUID");
  // Released before anyone else opens the file: the binary format keeps its file locked while open.
  auto data = KVMakeRef<TKVPersistentData>(storageClass, fileName);
  QXDefineStandardValues(*data);
  return data->GetValue(qxvDataFormatGUID).AsString();
}
}  // namespace

bool QXHasDataFormatGUID(const std::string& fileName, TKVStorageClass storageClass) {
  return KVSameText(ReadDataFormatGUID(fileName, storageClass), kQXDataFormatGUID);
}

void CheckDataFormatGUID(const std::string& fileName, TKVStorageClass storageClass) {
  std::string value = ReadDataFormatGUID(fileName, storageClass);
  if (!KVSameText(value, kQXDataFormatGUID))
    throw EKVException("Invalid data format '" + value + "', must be " + kQXDataFormatGUID, nullptr,
                       "CheckDataFormatGUID");
}

std::string QXFullFileName(const std::string& fileName) {
  if (fileName.empty()) return fileName;
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(fileName), ec);
  if (ec) p = fs::path(fileName);
  return p.lexically_normal().string();
}

void IQXDocumentHost::ShowError(const std::exception& e) { KVHandleException(e); }

// --- Document ----------------------------------------------------------------------------------------------

namespace {

// Wait cursor and suspended painting for the length of a scope.
class TWaitScope {
 public:
  explicit TWaitScope(IQXDocumentHost* host) : m_Host(host) {
    if (m_Host) m_Host->BeginWait();
  }
  ~TWaitScope() {
    if (m_Host) m_Host->EndWait();
  }
  TWaitScope(const TWaitScope&) = delete;
  TWaitScope& operator=(const TWaitScope&) = delete;

 private:
  IQXDocumentHost* m_Host;
};

TKVRef<TKVPersistentData> NewDocumentData() {
  // No file name: the binary storage keeps the document in memory until "Save As" gives it a file.
  auto data = KVMakeRef<TKVPersistentData>(&KVCompoundDocStorageClass, std::string());
  QXDefineStandardValues(*data);
  return data;
}

std::string NodeDirName(int index) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.5d", index);
  return buf;
}

}  // namespace

TQXDocument::TQXDocument(IQXDTreeSettings* treeSettings, IQXDocumentHost* host)
    : m_Host(host), m_Tree(treeSettings), m_Data(NewDocumentData()) {
  m_Tree.AddObserver(this);
}

TQXDocument::~TQXDocument() { m_Tree.RemoveObserver(this); }

void* TQXDocument::GetInterface(const TGUID& iid) {
  if (iid == IQXDocument::IID) return static_cast<IQXDocument*>(this);
  return TKVRefLifeObject::GetInterface(iid);
}

IKVStorage& TQXDocument::Storage() {
  auto* storage = m_Data->Query<IKVStorage>();
  if (!storage) throw EKVException("The document has no storage", this, "TQXDocument.Storage");
  return *storage;
}

std::string TQXDocument::FileName() const { return m_Data->GetFileName(); }

std::string TQXDocument::Caption() const {
  std::string name = FileName();
  return name.empty() ? kQXNewDocumentCaption : name;
}

void TQXDocument::SetModified(bool modified) {
  if (modified == m_Modified) return;
  m_Modified = modified;
  if (m_Host) m_Host->TitleChanged(*this);
}

void TQXDocument::ResetToNew() {
  m_Tree.Clear();
  m_Tree.SetScrollPos(0, 0);
  m_Data = NewDocumentData();
  m_ReportFormVisible = m_FunctionFormVisible = false;
  m_Modified = false;
  if (m_Host) m_Host->TitleChanged(*this);
}

bool TQXDocument::LoadFromFile(const std::string& fileName) {
  std::string full = QXFullFileName(fileName);
  if (full.empty()) return false;
  if (!IsNew() && KVSameText(full, FileName())) return false;
  std::error_code ec;
  if (!fs::exists(full, ec)) return false;
  TKVStorageClass storageClass = TestFileFormat(full);
  if (!storageClass) throw EKVException("Unsupported file format \"" + full + "\"", this, "LoadQXDFromFile");
  CheckDataFormatGUID(full, storageClass);
  if (m_Host && !m_Host->QueryCloseDocument(*this)) return false;

  m_Tree.Clear();
  m_Tree.SetScrollPos(0, 0);
  if (m_Host) m_Host->CloseToolWindows();
  m_Data->SwitchStorage(full, storageClass, false);
  if (m_Host) m_Host->TitleChanged(*this);
  try {
    LoadDesktopAndTree();
  } catch (...) {
    // A tree shown in part must never be saved over the file it came from.
    ResetToNew();
    throw;
  }
  m_Modified = false;
  if (m_Host) m_Host->TitleChanged(*this);
  if (m_Host) m_Host->FileUsed(full);
  return true;
}

void TQXDocument::LoadDesktopAndTree() {
  TWaitScope wait(m_Host);
  IKVStorage& s = Storage();
  m_ReportFormVisible = m_Data->GetValue(qxvReportFormVisible).AsBoolean();
  m_FunctionFormVisible = m_Data->GetValue(qxvFunctionFormVisible).AsBoolean();
  if (m_Host && m_Host->ManagesWindows()) {
    if (m_ReportFormVisible) m_Host->ShowReportWindow();
    if (m_FunctionFormVisible) m_Host->ShowFunctionList();
    try {
      TKVVsdDirPathKeeper list(s, "\\WindowList", false);
      if (list.Opened()) {
        for (const auto& name : s.ReadSubDirNames()) {
          try {
            TKVVsdDirPathKeeper window(s, name, false);
            if (window.Opened()) m_Host->LoadToolWindow(s.ReadString("ClassName", ""), s);
          } catch (const std::exception& e) {
            m_Host->ShowError(e);
          }
        }
      }
    } catch (const std::exception& e) {
      m_Host->ShowError(e);
    }
  }
  TKVVsdDirPathKeeper qxd(s, "\\QXD", false);
  if (qxd.Opened()) m_Tree.LoadData(s);
}

void TQXDocument::StoreDataAndDesktop() {
  IKVStorage& s = Storage();
  std::lock_guard lock(s.CriticalSection());
  TWaitScope wait(m_Host);
  {
    TKVVsdDirPathKeeper keeper(s);
    // One file update for the whole save: the text format writes its file once, at the end.
    TKVStorageUpdate update(s);
    m_Data->SetValue(qxvDataFormatGUID, TKVVariant::FromString(kQXDataFormatGUID));
    s.DeleteDir("\\QXD");
    {
      TKVVsdDirPathKeeper qxd(s, "\\QXD", true);
      m_Tree.StoreData(s);
    }
    StoreDesktop(s);
    update.Finish();
  }
  s.Commit();
  SetModified(false);
}

void TQXDocument::StoreDesktop(IKVStorage& s) {
  auto shown = [this](const std::exception& e) {
    if (m_Host)
      m_Host->ShowError(e);
    else
      KVHandleException(e);
  };
  bool windows = m_Host && m_Host->ManagesWindows();
  if (windows) {
    try {
      TKVVsdDirPathKeeper keeper(s, "\\MainWindow", true);
      m_Host->StoreMainWindow(s);
    } catch (const std::exception& e) {
      shown(e);
    }
  }
  try {
    if (s.DirExists("\\QXD")) {
      TKVVsdDirPathKeeper keeper(s, "\\QXD", true);
      m_Tree.StoreViewValues(s);
    }
  } catch (const std::exception& e) {
    shown(e);
  }
  try {
    if (windows) {
      m_ReportFormVisible = m_Host->ReportFormVisible();
      m_FunctionFormVisible = m_Host->FunctionFormVisible();
    }
    m_Data->SetValue(qxvReportFormVisible, TKVVariant::FromBoolean(m_ReportFormVisible));
    m_Data->SetValue(qxvFunctionFormVisible, TKVVariant::FromBoolean(m_FunctionFormVisible));
  } catch (const std::exception& e) {
    shown(e);
  }
  if (windows) {
    try {
      s.DeleteDir("\\WindowList");
      for (int i = 0, n = m_Host->ToolWindowCount(); i < n; ++i) {
        TKVVsdDirPathKeeper keeper(s, "\\WindowList\\" + NodeDirName(i), true);
        m_Host->StoreToolWindow(i, s);
      }
    } catch (const std::exception& e) {
      shown(e);
    }
  }
}

bool TQXDocument::Save() {
  if (!m_Modified) return false;
  if (IsNew()) return SaveAs();
  StoreDataAndDesktop();
  if (m_Host) m_Host->FileUsed(FileName());
  return true;
}

bool TQXDocument::SaveAs(const std::string& fileName) {
  std::string name = fileName;
  if (name.empty()) {
    name = FileName();
    if (!m_Host || !m_Host->ChooseSaveFileName(*this, name) || name.empty()) return false;
  }
  std::string full = QXFullFileName(name);
  if (!IsNew() && KVSameText(full, FileName()))
    StoreDataAndDesktop();
  else
    SaveToOtherFile(full);
  if (m_Host) {
    m_Host->TitleChanged(*this);
    m_Host->FileUsed(full);
  }
  return true;
}

void TQXDocument::SaveToOtherFile(const std::string& full) {
  int row = QXFileFormatIndex(full);
  TKVStorageClass storageClass = row == qffNone ? m_Data->StorageClass() : QXFileFormats()[row].StorageClass;
  // A memory storage never reaches a file; its file twin does.
  if (storageClass == &KVMemoryDocStorageClass) storageClass = &KVCompoundDocStorageClass;

  // The new file is made complete under a temporary name beside the target and then renamed over it, so
  // that an existing target is never merged into and a failure leaves it as it was.
  fs::path target(full);
  std::string temp = KVFreshTempFileName(full);
  std::error_code ec;
  std::string oldName = FileName();
  TKVStorageClass oldClass = m_Data->StorageClass();
  bool wasModified = m_Modified;
  try {
    // The definition tree is written anew at once, its old directory deleted first: copying it would be
    // work thrown away.
    m_Data->SwitchStorageLeavingOut(temp, storageClass, "\\QXD");
    StoreDataAndDesktop();
    fs::rename(temp, target, ec);
    if (ec) throw EAPIException("Unable to create \"" + full + "\"", ec.value(), this, "TQXDocument.SaveAs");
  } catch (...) {
    if (KVSameText(FileName(), temp)) {
      try {
        // A new document had its only copy in the storage just left: take it back into memory. A file's
        // storage is opened again as it is on disk (nothing was written to it).
        if (oldName.empty())
          m_Data->SwitchStorage(std::string(), oldClass, true);
        else
          m_Data->SwitchStorage(oldName, oldClass, false);
      } catch (const std::exception& e) {
        KVTrace(TKVTraceCategory::Exception, KVDetailedErrorText(e));
      }
    }
    fs::remove(temp, ec);
    m_Modified = wasModified;
    throw;
  }
  m_Data->SetFileName(full);
}

bool TQXDocument::New() {
  if (m_Host && !m_Host->QueryCloseDocument(*this)) return false;
  // The tool windows (schema pages, report) belong to the document they were opened with.
  if (m_Host) m_Host->CloseToolWindows();
  ResetToNew();
  return true;
}

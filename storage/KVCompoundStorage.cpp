#include "storage/KVCompoundStorage.h"

#include <sys/stat.h>

#include <cerrno>
#include <new>

#include "foundation/KVConvert.h"
#include "foundation/KVExceptions.h"
#include "foundation/KVTrace.h"

namespace {

TKVRef<TKVStorageBase> CreateCompoundDocStorage(std::recursive_mutex* ownerLock, uint32_t rootKey,
                                                const std::string& baseDir, const std::string& fileName) {
  return KVMakeRef<TKVCompoundDocStorage>(ownerLock, rootKey, baseDir, fileName);
}

TKVRef<TKVStorageBase> CreateMemoryDocStorage(std::recursive_mutex* ownerLock, uint32_t rootKey,
                                              const std::string& baseDir, const std::string& fileName) {
  return KVMakeRef<TKVMemoryDocStorage>(ownerLock, rootKey, baseDir, fileName);
}

std::string Quoted(const std::string& op, const std::string& argument) { return op + "(\"" + argument + "\")"; }

// Re-raises the exception in flight with the operation in front, keeping its result code and its text.
[[noreturn]] void Reraise(const std::string& operation, const TKVRefLifeObject* object, const char* routine) {
  try {
    throw;
  } catch (const EKVHrException& e) {
    throw EKVHrException(operation, e.ResultCode(), e.GetMessageText(), object, routine);
  } catch (const EAPIException& e) {
    throw EKVHrException(operation, e.ResultCode(), e.GetMessageText(), object, routine);
  } catch (const std::bad_alloc&) {
    throw EKVHrException(operation, KV_STG_E_INSUFFICIENTMEMORY, object, routine);
  } catch (const std::exception& e) {
    throw EKVHrException(operation, static_cast<HRESULT>(0x80004005u), e.what(), object, routine);
  }
}

}  // namespace

const TKVStorageClassInfo KVCompoundDocStorageClass = {"TKVCompoundDocStorage", &CreateCompoundDocStorage};
const TKVStorageClassInfo KVMemoryDocStorageClass = {"TKVMemoryDocStorage", &CreateMemoryDocStorage};

// --- TKVCompoundDocStorage -----------------------------------------------------------------------------------

TKVCompoundDocStorage::TKVCompoundDocStorage(std::recursive_mutex* ownerLock, uint32_t rootKey,
                                             const std::string& baseDir, const std::string& fileName)
    : TKVStorageBase(ownerLock, rootKey, baseDir, fileName) {}

TKVCompoundDocStorage::~TKVCompoundDocStorage() {
  try {
    Close();
  } catch (const std::exception& e) {
    KVTrace(TKVTraceCategory::Error, "Closing \"" + m_FileName + "\" lost its changes: " + KVErrorText(e));
  } catch (...) {
    KVTrace(TKVTraceCategory::Error, "Closing \"" + m_FileName + "\" lost its changes");
  }
  m_Doc.reset();
}

void* TKVCompoundDocStorage::GetInterface(const TGUID& iid) {
  if (iid == IKVGetSetGUID::IID) return static_cast<IKVGetSetGUID*>(this);
  if (iid == IKVGetGUID::IID) return static_cast<IKVGetGUID*>(this);
  return TKVStorageBase::GetInterface(iid);
}

TGUID TKVCompoundDocStorage::GetClassGUID() {
  std::lock_guard lock(*m_Lock);
  return m_ClassId;
}

void TKVCompoundDocStorage::SetClassGUID(const TGUID& classId) {
  std::lock_guard lock(*m_Lock);
  m_ClassId = classId;
  if (m_Doc) m_Doc->SetClassId(classId);
}

TKVCompoundFile& TKVCompoundDocStorage::GetDocument() {
  std::lock_guard lock(*m_Lock);
  if (!m_Doc) {
    OpenRoot();
    ResetCurrentDir();
  }
  return *m_Doc;
}

TKVCompoundElement& TKVCompoundDocStorage::GetRootStorage() { return GetDocument().Root(); }

void TKVCompoundDocStorage::OpenRoot() {
  const char* routine = "TKVCompoundDocStorage.GetRootStorage";
  auto doc = std::make_unique<TKVCompoundFile>();
  if (m_FileName.empty()) {
    try {
      doc->SetClassId(m_ClassId);
    } catch (...) {
      Reraise("StgCreateDocfileOnILockBytes", this, routine);
    }
    m_Doc = std::move(doc);
    return;
  }
  struct stat st;
  bool exists = ::lstat(m_FileName.c_str(), &st) == 0 || errno != ENOENT;
  if (exists) {
    try {
      doc->OpenFile(m_FileName);
    } catch (...) {
      Reraise(Quoted("StgOpenStorage", m_FileName), this, routine);
    }
  } else {
    // The class id goes into the very first image, so the new file never exists without it.
    doc->SetClassId(m_ClassId);
    try {
      doc->CreateFile(m_FileName);
    } catch (...) {
      Reraise(Quoted("StgCreateDocfile", m_FileName), this, routine);
    }
  }
  m_Doc = std::move(doc);
}

TKVCompoundElement* TKVCompoundDocStorage::CurrentStorage(bool create) {
  TKVCompoundElement* e = &GetRootStorage();
  for (const std::string& part : KVSplitPath(InternalPath(GetCurrentDir()))) {
    TKVCompoundElement* next = e->Find(part);
    if (!next) {
      if (!create) return nullptr;
      next = &e->CreateStorage(part);
    }
    if (!next->IsStorage()) return nullptr;
    e = next;
  }
  return e;
}

bool TKVCompoundDocStorage::InternalDirExists(const std::string& internalPath) {
  std::lock_guard lock(*m_Lock);
  const TKVCompoundElement* e = &GetRootStorage();
  for (const std::string& part : KVSplitPath(internalPath)) {
    e = e->Find(part);
    if (!e || !e->IsStorage()) return false;
  }
  return true;
}

bool TKVCompoundDocStorage::InternalOpenDir(const std::string& internalPath, bool create) {
  std::lock_guard lock(*m_Lock);
  const char* routine = "TKVCompoundDocStorage.InternalOpenDir";
  try {
    TKVCompoundElement* e = &GetRootStorage();
    for (const std::string& part : KVSplitPath(internalPath)) {
      if (!KVCompoundIsValidName(part)) {
        try {
          KVCompoundCheckName(part, {});
        } catch (...) {
          Reraise(Quoted("InternalOpenDir", part), this, routine);
        }
      }
      TKVCompoundElement* next = e->Find(part);
      if (!next) {
        if (!create) return false;
        try {
          next = &e->CreateStorage(part);
        } catch (...) {
          Reraise(Quoted("InternalOpenDir", part), this, routine);
        }
      } else if (!next->IsStorage()) {
        throw EKVHrException(Quoted("InternalOpenDir", part), KV_STG_E_FILEALREADYEXISTS,
                             "\"" + next->Name() + "\" is a value, not a directory", this, routine);
      }
      e = next;
    }
    return true;
  } catch (...) {
    ResetCurrentDir();
    throw;
  }
}

TKVStringArray TKVCompoundDocStorage::InternalReadSubDirNames() {
  std::lock_guard lock(*m_Lock);
  TKVCompoundElement* e = CurrentStorage(false);
  return e ? e->ChildNames(TKVCompoundElement::TKind::Storage) : TKVStringArray();
}

TKVStringArray TKVCompoundDocStorage::InternalReadValueNames() {
  std::lock_guard lock(*m_Lock);
  TKVCompoundElement* e = CurrentStorage(false);
  return e ? e->ChildNames(TKVCompoundElement::TKind::Stream) : TKVStringArray();
}

bool TKVCompoundDocStorage::InternalDeleteValue(const std::string& name) {
  std::lock_guard lock(*m_Lock);
  TKVCompoundElement* e = CurrentStorage(false);
  return e && e->Destroy(name);
}

bool TKVCompoundDocStorage::InternalDeleteDir(const std::string&) { return false; }

bool TKVCompoundDocStorage::DeleteDir(const std::string& path) {
  std::lock_guard lock(*m_Lock);
  if (path.empty()) return false;
  TKVStringArray parts = KVSplitPath(KVResolvePath(GetCurrentDir(), path));
  if (parts.empty()) return false;
  std::string full;
  for (auto& p : parts) full = KVJoinPath(full, p);
  if (!DirExists("\\" + full)) return false;
  std::string last = parts.back();
  parts.pop_back();
  std::string parent;
  for (auto& p : parts) parent = KVJoinPath(parent, p);
  if (!OpenDir("\\" + parent, false)) return false;
  TKVCompoundElement* e = CurrentStorage(false);
  return e && e->Destroy(last);
}

std::string TKVCompoundDocStorage::ReadString(const std::string& name, const std::string& def) {
  std::lock_guard lock(*m_Lock);
  try {
    const TKVCompoundElement* dir = CurrentStorage(false);
    const TKVCompoundElement* e = dir ? dir->Find(name) : nullptr;
    return e && e->IsStream() ? e->Data() : def;
  } catch (...) {
    return def;
  }
}

void TKVCompoundDocStorage::WriteString(const std::string& name, const std::string& value) {
  std::lock_guard lock(*m_Lock);
  TKVCompoundElement* dir = nullptr;
  GetRootStorage();  // a document that cannot be opened raises with its own text
  try {
    dir = CurrentStorage(true);
    if (!dir) throw EKVHrException("The current directory is a value", KV_STG_E_FILEALREADYEXISTS, this, "WriteString");
    dir->WriteStream(name, value);
  } catch (...) {
    Reraise(Quoted("WriteString", name), this, "TKVCompoundDocStorage.WriteString");
  }
}

void TKVCompoundDocStorage::Commit() {
  std::lock_guard lock(*m_Lock);
  if (!m_Doc || !m_Doc->HasFile() || !m_Doc->Modified()) return;
  try {
    m_Doc->SaveFile();
  } catch (...) {
    Reraise("Commit", this, "TKVCompoundDocStorage.Commit");
  }
}

void TKVCompoundDocStorage::Close() {
  std::lock_guard lock(*m_Lock);
  if (m_Doc) {
    Commit();
    m_Doc.reset();
  }
  ResetCurrentDir();
}

void TKVCompoundDocStorage::SetFileName(const std::string& fileName) {
  std::lock_guard lock(*m_Lock);
  if (KVSameText(fileName, m_FileName)) return;
  Close();
  TKVStorageBase::SetFileName(fileName);
}

// --- TKVMemoryDocStorage --------------------------------------------------------------------------------------

TKVMemoryDocStorage::TKVMemoryDocStorage(std::recursive_mutex* ownerLock, uint32_t rootKey, const std::string& baseDir,
                                         const std::string& fileName)
    : TKVCompoundDocStorage(ownerLock, rootKey, baseDir, fileName) {}

std::string TKVMemoryDocStorage::GetImage() {
  std::lock_guard lock(*m_Lock);
  TKVCompoundFile& doc = GetDocument();
  try {
    return doc.SaveImage();
  } catch (...) {
    Reraise("GetImage", this, "TKVMemoryDocStorage.GetImage");
  }
}

void TKVMemoryDocStorage::SetImage(const std::string& image) {
  std::lock_guard lock(*m_Lock);
  m_Doc.reset();
  m_Image = image;
  ResetCurrentDir();
}

void TKVMemoryDocStorage::SetFileName(const std::string& fileName) { TKVStorageBase::SetFileName(fileName); }

void TKVMemoryDocStorage::OpenRoot() {
  auto doc = std::make_unique<TKVCompoundFile>();
  if (m_Image) {
    try {
      doc->LoadImage(*m_Image);
    } catch (...) {
      Reraise("RootStorage", this, "TKVMemoryDocStorage.GetRootStorage");
    }
    m_Image.reset();
  } else {
    doc->SetClassId(m_ClassId);
  }
  doc->SetModified(false);
  m_Doc = std::move(doc);
}

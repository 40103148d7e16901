#pragma once
// Recordsets: a SELECT (or a catalog call) read through an ODBC cursor, one current record at a time,
// with a field object per result column; the field types and their ODBC mapping; the value buffers that
// hold a field's current value; positioning and record counting; and the editing state machine whose
// writes go through a row writer (IKVOdbcRowWriter, implemented in KVOdbcRowWriter.cpp).
//
// Per record nothing is allocated that can be kept: field buffers are bound once and reused, long data
// reuses its buffer, and moving only marks the fields unfetched. A forward-only cursor streams; scrollable
// cursors may hold the result in the driver (psqlODBC keeps a static cursor's rows in client memory), so
// readers of large tables use the simplest configuration (SetSimplestConfiguration).
#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/KVOdbcStatement.h"
#include "foundation/KVVariant.h"

class TKVOdbcRecordsetBase;
class TKVOdbcField;
class TKVRecordsetMasterSource;

// --- Field data types -------------------------------------------------------------------------------------

enum TKVFieldDataType : uint8_t {
  fdtBool = 0, fdtInt8, fdtUInt8, fdtInt16, fdtUInt16, fdtInt32, fdtUInt32, fdtInt64, fdtUInt64,
  fdtSingle, fdtDouble, fdtNumeric, fdtDate, fdtTime, fdtDatetime, fdtString, fdtWideString, fdtMemo,
  fdtWideMemo, fdtBinary, fdtGUID
};
constexpr int kFieldDataTypeCount = 21;

// "Bool", "Int8", ..., "Binary", "GUID"; "?" for a value outside the enumeration.
const char* KVFieldDataTypeCaption(int type);
// Memo, Wide Memo and Binary: not bound, read with SQLGetData when first asked for.
bool KVIsLongDataType(int type);
// String, Wide String, Memo, Wide Memo, Binary: buffers that grow when a longer value is written.
bool KVIsGrowableDataType(int type);
bool KVIsIntegerDataType(int type);  // Int8..UInt64

// The field data type of an ODBC column (its SQL_DESC_CONCISE_TYPE and SQL_DESC_UNSIGNED). SQL_FLOAT,
// SQL_REAL and SQL_DOUBLE map to Double (SQL_FLOAT is double precision: as Single it would lose digits),
// NUMERIC/DECIMAL to Numeric (read as double), CHAR/VARCHAR to String, WCHAR/WVARCHAR to Wide String,
// LONGVARCHAR to Memo, WLONGVARCHAR to Wide Memo, every binary type to Binary. Any other code raises
// EKVException "Unknown ODBC Field Data Type: %d".
TKVFieldDataType KVFieldDataTypeOfSqlType(SQLSMALLINT sqlType, bool isUnsigned);
// The C type a field is bound or read with. Outside 0..20: "Unknown Value (%d) for "TKVFieldDataType"".
SQLSMALLINT KVCTypeOfFieldDataType(int type);
// Bytes of the fixed buffer: 1, 2, 4, 8, 6 (date, time), 16 (timestamp, GUID); for String column size + 1,
// for Wide String column size (in bytes) + 2; 0 for the long data types. Raises as KVCTypeOfFieldDataType.
SQLLEN KVFixedBufferSizeOfFieldDataType(int type, SQLLEN columnSizeBytes = 0);
// The variant type of a field value: Bool varBoolean, Int8 varShortInt, UInt8 varByte, Int16 varSmallint,
// UInt16 varWord, Int32 varInteger, UInt32 varLongWord, Int64/UInt64 varInt64, Single varSingle,
// Double/Numeric varDouble, Date/Time/Datetime varDate, String/Memo/GUID varString, Wide String/Wide Memo
// varOleStr. Binary has none: raises EKVException from `routine`.
uint16_t KVVarTypeOfFieldDataType(int type, const char* routine = "ConvertStringToFieldType");

// --- Value buffers ----------------------------------------------------------------------------------------

// The current value of one field: the bytes in the C type's layout (ODBC date/time structures, UTF-8 text
// with a terminating zero, UTF-16 text with a 2-byte zero, raw bytes), the length/indicator, and flags.
//
// Fixed types (and String/Wide String of a sensible column size) are bound to the cursor with SQLBindCol:
// the driver writes each fetched row straight into Data(). Long data is read on demand with SQLGetData.
// The buffer's memory is kept across records; it only grows.
class TKVOdbcValueBuffer {
 public:
  TKVOdbcValueBuffer(TKVFieldDataType type, SQLUSMALLINT ordinal, SQLLEN columnSizeBytes);
  TKVOdbcValueBuffer(const TKVOdbcValueBuffer&) = delete;
  TKVOdbcValueBuffer& operator=(const TKVOdbcValueBuffer&) = delete;

  TKVFieldDataType DataType() const { return m_Type; }
  SQLSMALLINT CType() const { return m_CType; }
  SQLUSMALLINT Ordinal() const { return m_Ordinal; }
  // True while the buffer is bound with SQLBindCol (false for long data and oversized text columns).
  bool Bound() const { return m_Bound; }

  // The value's bytes and room. Capacity includes the terminator space of the text types.
  uint8_t* Data() { return m_Data.data(); }
  const uint8_t* Data() const { return m_Data.data(); }
  SQLLEN Capacity() const { return static_cast<SQLLEN>(m_Data.size()); }
  // SQL_NULL_DATA for NULL, else the value's length in bytes without terminator (what SQLBindCol and
  // SQLSetPos read and write).
  SQLLEN& Indicator() { return m_Indicator; }
  SQLLEN Indicator() const { return m_Indicator; }
  SQLLEN* IndicatorPtr() { return &m_Indicator; }
  bool IsNull() const { return m_Indicator == SQL_NULL_DATA; }
  // Length of the value in bytes (0 for NULL).
  size_t Size() const { return m_Indicator < 0 ? 0 : static_cast<size_t>(m_Indicator); }

  // Set once the current record's value is in the buffer (bound columns: at the fetch; long data: after
  // SQLGetData); cleared by every move.
  bool Fetched() const { return m_Fetched; }
  void SetFetched(bool on) { m_Fetched = on; }
  // The first chunk of long data has been read with SQLGetData.
  bool FirstPartRead() const { return m_FirstPartRead; }
  // Every write sets it; filling from the cursor clears it. A field counts as assigned while it is set.
  bool Assigned() const { return m_Assigned; }
  void SetAssigned(bool on) { m_Assigned = on; }

  // The value as a variant: Null for NULL; Binary of 2, 4 or 8 bytes as Smallint/Integer/Int64, other
  // Binary as a byte array.
  TKVVariant Value() const;
  // Writes a variant ("InternalSetValue"), see the contract in KVOdbcRecordset.cpp's header comment:
  // integers to the field's width, floating types, ISO/date values into the ODBC structures, text with its
  // terminator, GUID text with or without braces, Binary the bytes of a byte array or the variant's text.
  // Null and Empty write NULL. Sets Assigned. Growable buffers grow (the owner rebinds them, see
  // TKVOdbcField::SetValue); fixed ones raise EKVException naming both sizes. Conversion errors of the variant
  // (EVariantTypeCastError, EVariantOverflowError) pass through; the buffer is then unchanged.
  void SetValue(const TKVVariant& value);
  // The raw bytes of the value (no terminator); empty for NULL.
  std::vector<uint8_t> Bytes() const;
  // Writes raw bytes (Binary, or text in the C type's encoding); sets Assigned.
  void SetBytes(const void* data, size_t size);
  // Marks the value NULL (fixed: indicator SQL_NULL_DATA; long data: size 0 and NULL). Sets Assigned.
  void Clear();
  // Grows the room for a value of `bytes` (terminator added for text types); returns whether the memory
  // moved (a bound buffer then has to be bound again). Fixed types raise as SetValue.
  bool SetSize(size_t bytes);

  // Reads the value of the current row with SQLGetData ("ReadFirstData", then "FetchBlobData" for the
  // rest); trailing blanks of CHAR/WCHAR text are removed. `object` names the raiser of ODBC errors.
  void ReadFromCursor(SQLHSTMT statement, const TKVRefLifeObject* object);
  // After a fetch into a bound buffer: strips trailing blanks of text, sets Fetched, clears Assigned.
  void AfterFetch();
  // Marks the buffer not fetched and not assigned (a move or a refresh of the row).
  void ResetForNextRecord();
  // Binds Data()/Indicator() with SQLBindCol ("BindBuffer"); does nothing for unbound buffers.
  void Bind(SQLHSTMT statement, const TKVRefLifeObject* object);

  // Snapshot support (state holders, cancel of an edit): copies bytes, indicator and flags into `into`
  // reusing its memory, and back.
  struct TSnapshot {
    std::vector<uint8_t> Bytes;
    SQLLEN Indicator = SQL_NULL_DATA;
    bool Fetched = false, FirstPartRead = false, Assigned = false;
  };
  void SaveTo(TSnapshot& into) const;
  // Returns whether the memory moved (then the owner rebinds).
  bool RestoreFrom(const TSnapshot& from);

 private:
  friend class TKVOdbcField;
  size_t TerminatorSize() const;
  void StripTrailingBlanks();
  bool EnsureCapacity(size_t bytes);

  TKVFieldDataType m_Type;
  SQLSMALLINT m_CType;
  SQLUSMALLINT m_Ordinal;
  bool m_Bound = false;
  bool m_Fixed = false;  // no growth allowed
  std::vector<uint8_t> m_Data;
  SQLLEN m_Indicator = SQL_NULL_DATA;
  bool m_Fetched = false, m_FirstPartRead = false, m_Assigned = false;
};

// --- Fields -----------------------------------------------------------------------------------------------

enum class TKVNullability : uint8_t { NotNull = 0, Nullable = 1, Unknown = 2 };

// What CreateFields reads of one result column (SQLColAttribute). An owner hook may change it before the
// field is made (TKVOdbcRecordsetBase::AdjustColumnDescription).
struct TKVOdbcColumnDescription {
  SQLUSMALLINT Ordinal = 0;
  std::string Name;               // SQL_DESC_NAME
  SQLLEN ConciseType = 0;         // SQL_DESC_CONCISE_TYPE
  SQLLEN Length = 0;              // SQL_DESC_LENGTH (characters for text)
  SQLLEN OctetLength = 0;         // SQL_DESC_OCTET_LENGTH
  SQLLEN Precision = 0, Scale = 0;
  SQLLEN Unsigned = SQL_FALSE;    // SQL_DESC_UNSIGNED
  SQLLEN Nullable = SQL_NULLABLE_UNKNOWN;
  SQLLEN Updatable = SQL_ATTR_READWRITE_UNKNOWN;
  SQLLEN AutoUniqueValue = SQL_FALSE;
  std::string BaseColumnName, BaseTableName, TypeName;
};

// One result column of an open recordset. Owned by the recordset; valid until it closes or re-executes.
class TKVOdbcField : public TKVRefLifeObject {
 public:
  TKVOdbcField(TKVOdbcRecordsetBase& recordset, const TKVOdbcColumnDescription& description);
  std::string ClassName() const override { return "TKVOdbcField"; }
  std::string GetObjectName() const override { return m_Name; }

  TKVOdbcRecordsetBase& Recordset() const { return m_Recordset; }
  const std::string& Name() const { return m_Name; }
  TKVFieldDataType DataType() const { return m_Type; }
  SQLSMALLINT SqlType() const { return m_SqlType; }
  SQLSMALLINT CType() const { return m_Buffer.CType(); }
  // 1-based column number (0 for an exposed bookmark column).
  SQLUSMALLINT Ordinal() const { return m_Buffer.Ordinal(); }
  // Column size in bytes: characters x 1 for String/Memo, x 2 for Wide String/Wide Memo, 0 otherwise.
  SQLLEN Size() const { return m_Size; }
  SQLLEN Precision() const { return m_Precision; }
  SQLLEN Scale() const { return m_Scale; }
  bool Signed() const { return m_Signed; }
  TKVNullability Nullable() const { return m_Nullable; }
  // Writable unless the driver reports read only; an auto-incrementing integer column never is.
  bool Updatable() const { return m_Updatable; }
  bool AutoIncrementing() const { return m_AutoIncrement; }
  bool IsLongData() const { return KVIsLongDataType(m_Type); }
  const TKVOdbcColumnDescription& Description() const { return m_Description; }

  // The buffer, with the current record's value read in (long data is fetched here on first use).
  TKVOdbcValueBuffer& Buffer();
  // The buffer as it is, without reading anything (the row writer binds it).
  TKVOdbcValueBuffer& RawBuffer() { return m_Buffer; }

  bool IsNull() { return Buffer().IsNull(); }
  TKVVariant Value() { return Buffer().Value(); }
  std::vector<uint8_t> Bytes() { return Buffer().Bytes(); }
  // The text shown for the value: "" for NULL; Bool "True"/"False"; dates in ISO form (KVFormatIsoDateTime:
  // date alone, time alone, or both; nothing for the zero value); Binary as "<binary data, size: %d bytes,
  // stored size: %d bytes, compression ratio: %d%%>" (the bookmark column as an unsigned integer); other
  // types their variant text. Without a current record on a scrollable cursor: "<" + return code name of
  // the last fetch + ": " + its diagnostic + ">", and "" when the recordset is empty.
  std::string DisplayText();
  // "Name:\t\t%s\rDatatype:\t%s\rDatasize:\t%s Byte(s)\rNullable:\t%s".
  std::string Caption() const;

  // Writes a value: with "AutoEdit" a write while browsing performs edit first; any other state than
  // Editing or Inserting raises. Marks the field assigned and notifies the observers.
  void SetValue(const TKVVariant& value);
  void SetBytes(const void* data, size_t size);
  void SetNull() { SetValue(TKVVariant::Null()); }
  // Converts text by the field type ("SetText"); "" writes NULL. Bool: first character in "tT1wWyYsSqQ".
  // Wide String and Binary raise EKVException.
  void SetText(const std::string& text);
  bool Assigned() const { return m_Buffer.Assigned(); }

  // For the row writer and state restores: puts a value into the buffer as if fetched (not assigned).
  void SetFetchedValue(const TKVVariant& value);
  // Binds the buffer again after its memory moved (no-op for unbound buffers).
  void Rebind();

 private:
  friend class TKVOdbcRecordsetBase;
  void CheckUpdatable();
  void AfterWrite(bool memoryMoved);

  TKVOdbcRecordsetBase& m_Recordset;
  TKVOdbcColumnDescription m_Description;
  std::string m_Name;
  TKVFieldDataType m_Type;
  SQLSMALLINT m_SqlType;
  SQLLEN m_Size = 0, m_Precision = 0, m_Scale = 0;
  bool m_Signed = true;
  TKVNullability m_Nullable = TKVNullability::Unknown;
  bool m_Updatable = true;
  bool m_AutoIncrement = false;
  bool m_IsBookmark = false;
  TKVOdbcValueBuffer m_Buffer;
};

// --- Recordset properties ---------------------------------------------------------------------------------

enum TKVCursorType : uint8_t { ctForwardOnly = 0, ctDynamic = 1, ctKeysetDriven = 2, ctStatic = 3 };
enum TUpdateStrategy : uint8_t { usReadOnly = 0, usMinimalLock = 1, usCompareRecordVersionBeforeWrite = 2,
                                 usCompareValuesBeforeWrite = 3 };
enum TPositionedUpdateSimulation : uint8_t { pusAllowNonUniqueUpdate = 0, pusTryUniqueUpdate = 1,
                                             pusGuaranteeUniqueUpdate = 2 };
enum TCursorSensitivity : uint8_t { csUnspecified = 0, csInsensitive = 1, csReflectChanges = 2 };
enum TKVBLOBCompressionKind : uint8_t { bckNone = 0, bckFastest = 1, bckMedium = 2, bckMaximum = 3 };
// Recordset attribute flags; a set of them is stored as one integer ("Attributes").
enum TKVRecordsetAttribute : uint32_t {
  raAutoSaveChanges = 1u << 0, raAutoEdit = 1u << 1, raConfrimDeletions = 1u << 2, raBookmarksEnabled = 1u << 3,
  raExposeBookmarkColumn = 1u << 4
};
// Record count strategies, tried in bit order.
constexpr uint32_t rcsUseDriverCount = 1u << 0, rcsUseSelectCount = 1u << 1, rcsLogarithmicPositioning = 1u << 2;

// The settings of a recordset and the statement attributes they set. Stored keys and defaults (values
// equal to the default are not written), in addition to those of the statement properties:
//   "CursorType" 2, "UpdateStrategy" 1, "PositionedUpdateSimulation" 0, "CursorSensitivity" 0,
//   "KeysetSize" 0, "MaximumRecordsReturned" 0, "MaximumFieldDataSize" 0, "BLOBCompressionKind" 3,
//   "Attributes" 7 (AutoSaveChanges, AutoEdit, ConfrimDeletions), "CountStrategies" 3.
// Out-of-range values raise EKVException naming the enumeration. Changes to the cursor settings take effect at the next execution; the
// driver may grant less than asked (read GrantedCursorType/GrantedConcurrency after opening).
// "BookmarksEnabled" and "ExposeBookmarkColumn" are refused while the recordset is active.
class TKVOdbcRecordsetProperties : public TKVOdbcStatementProperties {
 public:
  explicit TKVOdbcRecordsetProperties(TKVOdbcStatementBase* owner = nullptr) : TKVOdbcStatementProperties(owner) {}
  std::string ClassName() const override { return "TKVOdbcRecordsetProperties"; }

  // Each enumerated setting has an integer overload for the value as a document stores it (and as the
  // property page's list offers it): that one raises EKVException for a number outside the enumeration.
  TKVCursorType CursorType() const { return m_CursorType; }
  void SetCursorType(TKVCursorType type) { SetCursorType(static_cast<int>(type)); }
  void SetCursorType(int type);
  TUpdateStrategy UpdateStrategy() const { return m_UpdateStrategy; }
  void SetUpdateStrategy(TUpdateStrategy strategy) { SetUpdateStrategy(static_cast<int>(strategy)); }
  void SetUpdateStrategy(int strategy);
  TPositionedUpdateSimulation PositionedUpdateSimulation() const { return m_Simulation; }
  void SetPositionedUpdateSimulation(TPositionedUpdateSimulation simulation) {
    SetPositionedUpdateSimulation(static_cast<int>(simulation));
  }
  void SetPositionedUpdateSimulation(int simulation);
  TCursorSensitivity CursorSensitivity() const { return m_Sensitivity; }
  void SetCursorSensitivity(TCursorSensitivity sensitivity) { SetCursorSensitivity(static_cast<int>(sensitivity)); }
  void SetCursorSensitivity(int sensitivity);
  int32_t KeysetSize() const { return m_KeysetSize; }
  void SetKeysetSize(int32_t size);
  int32_t MaximumRecordsReturned() const { return m_MaxRows; }
  void SetMaximumRecordsReturned(int32_t rows);
  int32_t MaximumFieldDataSize() const { return m_MaxLength; }
  void SetMaximumFieldDataSize(int32_t bytes);
  TKVBLOBCompressionKind BLOBCompressionKind() const { return m_Compression; }
  void SetBLOBCompressionKind(TKVBLOBCompressionKind kind) { SetBLOBCompressionKind(static_cast<int>(kind)); }
  void SetBLOBCompressionKind(int kind);
  // The attribute flags as one integer (the stored form).
  uint32_t Attributes() const { return m_Attributes; }
  void SetAttributes(uint32_t flags);
  bool HasAttribute(TKVRecordsetAttribute flag) const { return (m_Attributes & flag) != 0; }
  void SetAttribute(TKVRecordsetAttribute flag, bool on) {
    SetAttributes(on ? m_Attributes | flag : m_Attributes & ~static_cast<uint32_t>(flag));
  }
  uint32_t CountStrategies() const { return m_CountStrategies; }
  void SetCountStrategies(uint32_t flags) { m_CountStrategies = flags & 7u; }

  void Assign(const TKVOdbcStatementProperties& other) override;
  void LoadData(IKVStorage& storage) override;
  void StoreData(IKVStorage& storage) override;

 private:
  TKVCursorType m_CursorType = ctKeysetDriven;
  TUpdateStrategy m_UpdateStrategy = usMinimalLock;
  TPositionedUpdateSimulation m_Simulation = pusAllowNonUniqueUpdate;
  TCursorSensitivity m_Sensitivity = csUnspecified;
  int32_t m_KeysetSize = 0, m_MaxRows = 0, m_MaxLength = 0;
  TKVBLOBCompressionKind m_Compression = bckMaximum;
  uint32_t m_Attributes = raAutoSaveChanges | raAutoEdit | raConfrimDeletions;
  uint32_t m_CountStrategies = rcsUseDriverCount | rcsUseSelectCount;
};

// --- Editing states and operations ------------------------------------------------------------------------

enum TKVRecordsetState : uint8_t { rsInactive = 0, rsBrowsing = 1, rsInserting = 2, rsEditing = 3 };
enum TKVRecordsetOperation : uint8_t {
  roEdit = 0, roInsert = 1, roDelete = 2, roCancelChanges = 3, roApplyChanges = 4, roRefreshCurrent = 5,
  roReExecute = 6, roScheduleReExecute = 7, roLeaveModifyingState = 8, roSetSimplestConfiguration = 9
};
// "Inactive", "Browsing", "Inserting", "Editing"; "?" otherwise.
const char* KVRecordsetStateCaption(TKVRecordsetState state);
// "Edit", "Insert", "Delete", "" (cancel), "Apply changes", "Refresh current", "re-Execute",
// "Schedule re-Execute", "Leave modfying state", "Set simplest configuration"; "?" otherwise.
const char* KVRecordsetOperationCaption(TKVRecordsetOperation operation);
inline bool KVIsModifyingState(TKVRecordsetState s) { return s == rsInserting || s == rsEditing; }

// Told about every operation, move and data change of a recordset (the data grid, the navigator). Views
// are not told while detached (TKVOdbcRecordsetBase::DetachViews).
class IKVRecordsetObserver {
 public:
  virtual ~IKVRecordsetObserver() = default;
  virtual void BeforeOperation(TKVOdbcRecordsetBase&, TKVRecordsetOperation, intptr_t /*argument*/) {}
  virtual void AfterOperation(TKVOdbcRecordsetBase&, TKVRecordsetOperation, intptr_t /*argument*/) {}
  virtual void BeforeMove(TKVOdbcRecordsetBase&) {}
  virtual void AfterMove(TKVOdbcRecordsetBase&) {}
  // A field value was written (field) or the record's data changed as a whole (nullptr).
  virtual void DataChanged(TKVOdbcRecordsetBase&, TKVOdbcField* /*field*/) {}
};

// --- Row writer -------------------------------------------------------------------------------------------

// Writes the current record of a recordset to the database. Implemented by the row writer module; the
// recordset calls it from the editing operations, inside its state machine:
//  - Insert: state Inserting, the fields hold the new values (assigned ones flagged). Raises EKVException
//    when none is assigned. Afterwards the recordset's
//    current record must show the inserted row: fetched again from the cursor, or put into the buffers as
//    an overlay record (TKVOdbcRecordsetBase::SetOverlayRecord); a known record count is incremented
//    (AdjustRecordCount(+1)).
//  - Update: state Editing; writes the assigned fields; nothing when none is assigned.
//  - Delete: state Browsing, a current record exists; removes its row from the database. The recordset
//    then shows the record that follows (see TKVOdbcRecordsetBase::DeleteCurrentRecord).
//  - Refresh: re-reads the current record.
// A failure raises (EODBCError for the driver's diagnostics) and leaves the recordset's state and assigned
// values as they were, so that the caller can retry or cancel.
class IKVOdbcRowWriter {
 public:
  virtual ~IKVOdbcRowWriter() = default;
  virtual void Insert(TKVOdbcRecordsetBase& recordset) = 0;
  virtual void Update(TKVOdbcRecordsetBase& recordset) = 0;
  virtual void Delete(TKVOdbcRecordsetBase& recordset) = 0;
  virtual void Refresh(TKVOdbcRecordsetBase& recordset) = 0;
};
// Made once per recordset, at the first write; defined by the row writer module.
std::unique_ptr<IKVOdbcRowWriter> KVCreateRowWriter(TKVOdbcRecordsetBase& recordset);

// --- State snapshots --------------------------------------------------------------------------------------

// Position and field buffers of a recordset, taken by SaveState and put back by RestoreState (locate and
// counting move the cursor and must bring the user's record, including values being edited, back).
struct TKVOdbcRecordsetState {
  int32_t Position = 0;
  bool Overlay = false;
  std::vector<TKVOdbcValueBuffer::TSnapshot> Fields;
};

// --- Recordsets -------------------------------------------------------------------------------------------

enum class TKVRecordsetOpenMode : uint8_t {
  ReadRows,     // execute the text as it is and fetch the first record
  ColumnsOnly,  // execute with the WHERE clause replaced by "1=0": fields are made, no row is read
};

// A result set read through an ODBC cursor.
//
// Opening (Activate, or Open) allocates the handle, sets the cursor attributes, runs InternalExecute,
// makes the fields ("CreateFields") and fetches the first record. Closing (Deactivate/Close) leaves a
// modifying state first, closes the cursor, releases the fields and frees the handle. Fields are valid
// while the recordset is open and not re-executed.
//
// Positions are 1-based; 0 is before the first record. Fetch failures do not raise: their return code and
// diagnostic are kept (LastFetchReturnCode/LastFetchDiagnostic) and shown by the fields' display texts.
class TKVOdbcRecordsetBase : public TKVOdbcStatementBase {
 public:
  ~TKVOdbcRecordsetBase() override;
  std::string ClassName() const override { return "TKVOdbcRecordsetBase"; }

  TKVOdbcRecordsetProperties& Properties() { return static_cast<TKVOdbcRecordsetProperties&>(*m_Properties); }
  const TKVOdbcRecordsetProperties& Properties() const {
    return static_cast<const TKVOdbcRecordsetProperties&>(*m_Properties);
  }

  void Open() { Activate(); }
  void Close() { Deactivate(); }
  TKVRecordsetOpenMode OpenMode() const { return m_OpenMode; }
  // Takes effect at the next execution.
  void SetOpenMode(TKVRecordsetOpenMode mode) { m_OpenMode = mode; }

  // The cursor type and concurrency the driver granted at the last execution (SQLGetStmtAttr).
  TKVCursorType GrantedCursorType() const { return m_GrantedCursorType; }
  TUpdateStrategy GrantedConcurrency() const { return m_GrantedConcurrency; }
  bool Scrollable() const { return m_Scrollable; }

  // --- fields
  size_t FieldCount() const { return m_Fields.size(); }
  TKVOdbcField& Field(size_t index) { return *m_Fields[index]; }
  // By name, case-insensitively; nullptr when absent.
  TKVOdbcField* FindField(std::string_view name);
  // As FindField; raises EKVException when absent.
  TKVOdbcField& FieldByName(std::string_view name);

  // --- position
  int32_t Position() const { return m_Position; }
  // Forward only: no record was fetched last time. Scrollable: the position is at or beyond the count.
  bool Eof();
  // Position below 2.
  bool Bof() const { return m_Position < 2; }
  // Whether the buffers hold a record (the last fetch succeeded, or an overlay record is shown).
  bool HasCurrentRecord() const { return m_Overlay || KVOdbcSucceeded(m_LastFetchRC); }
  SQLRETURN LastFetchReturnCode() const { return m_LastFetchRC; }
  const std::string& LastFetchDiagnostic() const { return m_LastFetchDiag; }

  // Each checks whether the move is possible (next/last: not at end; previous/first: not at beginning;
  // SetPosition/MoveBy: a record count above 0; SetPosition to the current position does nothing) and
  // leaves a modifying state first. Forward-only cursors support MoveToNext only (and MoveToFirst right
  // after opening, which does nothing). SetPosition clamps into 1..RecordCount.
  void MoveToFirst();
  void MoveToNext();
  void MoveToPrevious();
  void MoveToLast();
  void SetPosition(int32_t position);
  void MoveBy(int32_t offset);

  // The number of records ("ComputeRecordCount" on first use; cached until the next execution). Forward
  // only: 1 while there is a current record, else 0. Scrollable: the count strategies in bit order
  // (driver count, SELECT Count(*), logarithmic positioning); -1 when none could tell.
  int32_t RecordCount();
  // The rows the SQL text selects, counted by a separate "SELECT Count(*) FROM ... WHERE ..." on the same
  // connection (1 for a select list of aggregates only); -1 when the text cannot be counted that way (no
  // FROM, GROUP BY) or the count fails. Works for every cursor type, forward-only included.
  int32_t CountBySelect();
  // The cached count without computing (-1 = unknown).
  int32_t KnownRecordCount() const { return m_RecordCount; }
  void SetKnownRecordCount(int32_t count) { m_RecordCount = count; }
  // Adds `delta` to a known count, not below 0; an unknown count stays unknown.
  void AdjustRecordCount(int32_t delta);

  // --- editing (see IKVOdbcRowWriter for the writes)
  TKVRecordsetState State() const { return m_State; }
  // The state an operation leads to from the current one: edit Editing, insert Inserting, everything else
  // Browsing. Set simplest configuration, which changes no state, and a code outside the enumeration raise
  // EKVException.
  TKVRecordsetState StateAfterOperation(TKVRecordsetOperation operation) const;
  // Whether an operation is available now (the table of the editing operations: e.g. edit needs a
  // connection that may modify data, an update strategy other than read only, Browsing and a record count
  // above 0).
  bool OperationAvailable(TKVRecordsetOperation operation);
  // Whether records may be written: the connection may modify data and the update strategy is not read
  // only.
  bool MayWrite() const;
  // Raises EKVException naming the operation and why (the connection may not modify data, or the update
  // strategy of the recordset is read only) unless MayWrite.
  // Edit, insert and delete check it before they change the state, and the row writers before they write.
  void CheckMayWrite(TKVRecordsetOperation operation) const;
  // Edit and delete need a record: raises EKVException naming the operation without one.
  void CheckCurrentRecord(TKVRecordsetOperation operation) const;
  // Runs an operation: when the state after it equals the current one and the operation is neither
  // delete nor one of refresh/re-execute/schedule/leave, nothing happens; otherwise observers are told
  // before, the operation's step runs, the state is set, observers are told after. Set simplest
  // configuration only sets it.
  void PerformOperation(TKVRecordsetOperation operation, intptr_t argument = 0);
  void Edit() { PerformOperation(roEdit); }
  // Starts a new record: every field NULL and unassigned (the current record's buffers are kept to be put
  // back by Cancel). A detail recordset then takes its master's values (AssignFieldValuesFromMasterSource).
  void Insert();
  void Cancel() { PerformOperation(roCancelChanges); }
  void ApplyChanges() { PerformOperation(roApplyChanges); }
  // Deletes the current record's row. Afterwards the current record is the one that followed it, the
  // previous one when it was the last, none when it was the only one; the record count is one less (0 after
  // the last). A scrollable cursor keeps showing a deleted row (static cursors are snapshots), so the
  // statement is executed again and the position taken up there; a forward-only cursor fetches the next
  // record.
  void DeleteCurrentRecord() { PerformOperation(roDelete); }
  void RefreshCurrentRecord() { PerformOperation(roRefreshCurrent); }
  // Executes the statement again; with `keepPosition` the state is saved and restored.
  void ReExecute(bool keepPosition = true) { PerformOperation(roReExecute, keepPosition ? 1 : 0); }
  // Sets the WHERE clause to `condition`, a text with one "?" marker for each entry of `values`, and
  // executes with the values bound as parameters, each in the C and SQL type of this recordset's field named
  // beside it (a NULL value matches nothing, as "= NULL" would). The first call, and any call whose
  // statement text or fields differ from the last, prepares the statement and makes the fields anew; the
  // following calls bind the new values and execute the prepared statement again, keeping the fields, their
  // buffers and the row writer: the database sees one prepared SELECT re-executed per record. Leaves a
  // modifying state first and fetches the first record. The recordset must be open (CheckActive); unknown
  // field names raise. Any other execution (ReExecute, closing) ends the prepared
  // state; the SQL text keeps the condition until its owner sets another one.
  struct TKVBoundValue {
    std::string FieldName;
    TKVVariant Value;
  };
  void ReExecuteWithValues(const std::string& condition, const std::vector<TKVBoundValue>& values);
  // What re-executions cost: statements ReExecuteWithValues prepared, sets of fields made, row writers made
  // (tests check that record after record reuses them).
  int BoundPrepareCount() const { return m_BoundPrepareCount; }
  int FieldSetsCreated() const { return m_FieldSetsCreated; }
  int RowWritersCreated() const { return m_RowWritersCreated; }

  // Whether an insert shows the row as the database stored it (generated keys and defaults, at the price of
  // a read per row) or the values as written. On by default; a writer that nobody reads back switches it off.
  bool ReadsBackInserted() const { return m_ReadBackInserted; }
  void SetReadBackInserted(bool on) { m_ReadBackInserted = on; }

  // Re-executes after "TimedReExecutionDelay" through the process's scheduler (KVStatementScheduler), at
  // once without one. Schedules within the delay end in one re-execution, after the last of them; a
  // re-execution or deactivation in between makes the scheduled one void. A modifying state is left when
  // scheduling. `keepPosition` as for ReExecute; an error of a deferred re-execution is handled
  // (KVHandleException), as there is no caller left to raise to.
  void ScheduleReExecute(bool keepPosition = true) { PerformOperation(roScheduleReExecute, keepPosition ? 1 : 0); }
  // With "AutoSaveChanges" apply, else cancel; when the apply raises, cancel and raise again.
  void LeaveModifyingState();
  // Cursor type forward only and update strategy read only; on an open recordset they take effect at the
  // next execution.
  void SetSimplestConfiguration();

  // --- master/detail
  // Binds this recordset, as a detail, to the master recordset of `source` (nullptr unbinds). The detail's
  // SQL parameters named like a master field take that field's current value at every execution, and the
  // detail re-executes (scheduled) when the master moves to another record. Takes effect at the next
  // execution.
  void SetMasterSource(TKVRef<TKVRecordsetMasterSource> source);
  TKVRecordsetMasterSource* MasterSource() const { return m_MasterSource.get(); }
  // "AssignMasterParamValues": activates the master and gives every parameter for which the master has a
  // field of the same name (case-insensitively) that field's current value, NULL while the master has no
  // current record. Done before every execution; nothing without a master.
  void AssignMasterParamValues();
  // "AssignFieldValuesFromMasterSource": for every parameter reference of the SQL text whose preceding word
  // names a field of this recordset (qualified names such as d.order_id count by their last part), that
  // field is set to the value of the master's field named like the parameter, so that a new detail record
  // belongs to the master's record. Skips read-only fields. Done by Insert; nothing without a master.
  void AssignFieldValuesFromMasterSource();

  // --- observers
  void AddObserver(IKVRecordsetObserver* observer);
  void RemoveObserver(IKVRecordsetObserver* observer);
  // While detached (counted), observers are not told anything.
  void DetachViews() { ++m_ViewsDetached; }
  void AttachViews() { if (m_ViewsDetached > 0) --m_ViewsDetached; }
  bool ViewsDetached() const { return m_ViewsDetached > 0; }
  void NotifyDataChanged(TKVOdbcField* field);
  // Tells the observers the current record changed after a move made with the views detached (a locate that
  // stays on the record found).
  void NotifyMoved();

  // --- state snapshots
  TKVOdbcRecordsetState SaveState() const;
  void SaveState(TKVOdbcRecordsetState& into) const;
  // Fetches the saved position again and puts the saved field buffers back.
  void RestoreState(const TKVOdbcRecordsetState& state);

  // --- hooks for the row writer and for derived classes
  // The writer (made by KVCreateRowWriter on first use, discarded when the recordset closes or
  // re-executes, since it may keep handles bound to the fields); SetRowWriter replaces it.
  IKVOdbcRowWriter& RowWriter();
  void SetRowWriter(std::unique_ptr<IKVOdbcRowWriter> writer) { m_RowWriter = std::move(writer); }
  // Fetches an absolute position on a scrollable cursor (SQLFetchScroll), storing the result as every move
  // does and marking the fields unfetched; returns the return code. Forward only: does nothing and returns
  // the last fetch's code.
  SQLRETURN FetchAbsolute(int32_t position);
  // The record's buffers are about to be refilled from the cursor / were refilled: marks every field
  // unfetched and unassigned and ends an overlay.
  void NotifyRecordChanging();
  void NotifyRecordChanged();
  // Shows the field buffers as the current record without a cursor row behind them (e.g. an inserted row
  // the cursor cannot show). Fill the buffers with TKVOdbcField::SetFetchedValue first. The next move or
  // fetch ends the overlay.
  void SetOverlayRecord(bool on);
  bool OverlayRecord() const { return m_Overlay; }
  // The record as it was when the current edit or insert began (the values an update identifies its row by).
  const TKVOdbcRecordsetState& EditSnapshot() const { return m_EditSnapshot; }
  // All fields unassigned (after a successful write).
  void ClearAssigned();
  bool AnyFieldAssigned() const;

 protected:
  TKVOdbcRecordsetBase(TKVRef<TKVOdbcConnection> connection, TKVRef<TKVOdbcRecordsetProperties> properties);

  void DoActivate() override;
  void DoDeactivate() override;
  bool SelectExpected() const override { return true; }
  // With "ReexecuteAfterSQlChange" an open recordset re-executes after its text changed.
  void SQLChanged() override;

  // Produces the result set on Handle(). The base checks the prepared text (SELECT only) and runs it with
  // ExecDirect; in ColumnsOnly mode with the WHERE clause replaced by "1=0". Schema recordsets call a
  // catalog function instead. Returns false when the call answered that there is nothing at all (no result
  // set to describe): the recordset then opens with no fields and no records.
  virtual bool InternalExecute();
  // Lets a derived class change a column's description before its field is made; the base calls the
  // OnAdjustColumn callback when set.
  virtual void AdjustColumnDescription(TKVOdbcColumnDescription& description);

 public:
  std::function<void(TKVOdbcColumnDescription&)> OnAdjustColumn;

 protected:
  // Sets the cursor attributes, executes, makes the fields, reads the granted cursor and fetches the first
  // record (not in ColumnsOnly mode). Used by activation and re-execution; the handle exists.
  void ExecuteAndCreateFields();
  void CloseCursor();
  void ApplyCursorAttributes();
  void CreateFields();
  void ReadGrantedCursor();
  // One fetch: scrollable cursors SQLFetchScroll(orientation, offset), forward only SQLFetch.
  SQLRETURN Fetch(SQLSMALLINT orientation, SQLLEN offset);
  void BeforeMove();
  void AfterMove();
  int32_t ComputeRecordCount();
  void ShowRecordAfterDelete(int32_t deletedPosition, int32_t knownCount);
  int32_t CountByPositioning();
  void DoOperationStep(TKVRecordsetOperation operation, intptr_t argument);
  // A template rather than a std::function: every insert and cancel notifies twice, and the closure would be
  // allocated each time even with no observer to call.
  template <class TCall>
  void Notify(const TCall& call) {
    if (m_ViewsDetached > 0 || m_Observers.empty()) return;
    auto observers = m_Observers;  // an observer may detach itself
    for (auto* o : observers) call(*o);
  }

  std::vector<std::unique_ptr<TKVOdbcField>> m_Fields;
  TKVRecordsetState m_State = rsInactive;
  TKVRecordsetOpenMode m_OpenMode = TKVRecordsetOpenMode::ReadRows;
  int32_t m_Position = 0;
  int32_t m_RecordCount = -1;
  SQLRETURN m_LastFetchRC = SQL_NO_DATA;
  std::string m_LastFetchDiag;
  bool m_Scrollable = false;
  bool m_Overlay = false;
  bool m_CursorOpen = false;
  TKVCursorType m_GrantedCursorType = ctForwardOnly;
  TUpdateStrategy m_GrantedConcurrency = usReadOnly;
  std::unique_ptr<IKVOdbcRowWriter> m_RowWriter;
  std::vector<IKVRecordsetObserver*> m_Observers;
  int m_ViewsDetached = 0;
  TKVOdbcRecordsetState m_EditSnapshot;  // the record as it was before edit/insert, for Cancel

 private:
  struct TBoundExecution;
  // Forgets the prepared statement; with `renewHandle` the handle is made new for unprepared executions.
  void EndBoundExecution(bool renewHandle);
  void PrepareBoundExecution(const std::string& text, const std::vector<TKVBoundValue>& values);
  void ExecuteBound(const std::vector<TKVBoundValue>& values);
  void ScheduledReExecution(intptr_t keepPosition);
  std::unique_ptr<TBoundExecution> m_Bound;  // the prepared statement of ReExecuteWithValues
  TKVRef<TKVRecordsetMasterSource> m_MasterSource;
  bool m_SettingBoundClause = false;
  int m_BoundPrepareCount = 0;
  int m_FieldSetsCreated = 0;
  int m_RowWritersCreated = 0;
  bool m_ReadBackInserted = true;
};

// A recordset over the user's SELECT text.
//
//   auto rs = KVMakeRef<TKVOdbcRecordset>(connection);
//   rs->SetSQL("SELECT id, name FROM t ORDER BY id");
//   rs->Open();
//   for (; rs->HasCurrentRecord(); rs->MoveToNext()) use(rs->FieldByName("name").Value());
class TKVOdbcRecordset : public TKVOdbcRecordsetBase {
 public:
  explicit TKVOdbcRecordset(TKVRef<TKVOdbcConnection> connection = nullptr);
  std::string ClassName() const override { return "TKVOdbcRecordset"; }
};

// Detaches the views of a recordset for a scope.
class TKVDetachedViews {
 public:
  explicit TKVDetachedViews(TKVOdbcRecordsetBase& r) : m_R(r) { m_R.DetachViews(); }
  ~TKVDetachedViews() { m_R.AttachViews(); }
  TKVDetachedViews(const TKVDetachedViews&) = delete;
  TKVDetachedViews& operator=(const TKVDetachedViews&) = delete;

 private:
  TKVOdbcRecordsetBase& m_R;
};

// Field data types, value buffers and field objects of recordsets (declared in KVOdbcRecordset.h).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "db/KVOdbcRecordset.h"
#include "foundation/KVActivate.h"
#include "foundation/KVConvert.h"
#include "foundation/KVDateTime.h"
#include "foundation/KVGuid.h"
#include "foundation/KVText.h"

namespace {

[[noreturn]] void RaiseUnsupportedType(int type, const TKVRefLifeObject* object, const char* routine) {
  throw EKVException("Unsupported value (" + std::to_string(type) + ") for \"TKVFieldDataType\"", object, routine);
}

// Text columns up to this size are bound; wider ones (and drivers' "unknown size" answers) are read with
// SQLGetData like long data, so that a table of wide VARCHAR columns does not reserve megabytes per row.
constexpr SQLLEN kMaxBoundTextBytes = 16384;
// The first SQLGetData chunk of long data; the buffer keeps whatever size it reached.
constexpr size_t kFirstChunk = 4096;

}  // namespace

// --- Field data types -------------------------------------------------------------------------------------

const char* KVFieldDataTypeCaption(int type) {
  static const char* const kCaptions[kFieldDataTypeCount] = {
      "Bool",   "Int8",   "UInt8",   "Int16", "UInt16", "Int32",       "UInt32", "Int64", "UInt64",    "Single", "Double",
      "Numeric", "Date", "Time", "Datetime", "String", "Wide String", "Memo",   "Wide Memo", "Binary", "GUID"};
  return type >= 0 && type < kFieldDataTypeCount ? kCaptions[type] : "?";
}

bool KVIsLongDataType(int type) { return type == fdtMemo || type == fdtWideMemo || type == fdtBinary; }
bool KVIsGrowableDataType(int type) {
  return type == fdtString || type == fdtWideString || KVIsLongDataType(type);
}
bool KVIsIntegerDataType(int type) { return type >= fdtInt8 && type <= fdtUInt64; }

TKVFieldDataType KVFieldDataTypeOfSqlType(SQLSMALLINT sqlType, bool isUnsigned) {
  switch (sqlType) {
    case SQL_BIT: return fdtBool;
    case SQL_TINYINT: return isUnsigned ? fdtUInt8 : fdtInt8;
    case SQL_SMALLINT: return isUnsigned ? fdtUInt16 : fdtInt16;
    case SQL_INTEGER: return isUnsigned ? fdtUInt32 : fdtInt32;
    case SQL_BIGINT: return isUnsigned ? fdtUInt64 : fdtInt64;
    // SQL_FLOAT is double precision in ODBC (psqlODBC reports float8 so); read as Single it would lose
    // digits. REAL (single precision) reads exactly as Double too.
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE: return fdtDouble;
    case SQL_NUMERIC:
    case SQL_DECIMAL: return fdtNumeric;
    case SQL_DATE:
    case SQL_TYPE_DATE: return fdtDate;
    case SQL_TIME:
    case SQL_TYPE_TIME: return fdtTime;
    case SQL_TYPE_TIMESTAMP: return fdtDatetime;
    case SQL_CHAR:
    case SQL_VARCHAR: return fdtString;
    case SQL_WCHAR:
    case SQL_WVARCHAR: return fdtWideString;
    case SQL_LONGVARCHAR: return fdtMemo;
    case SQL_WLONGVARCHAR: return fdtWideMemo;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY: return fdtBinary;
    case SQL_GUID: return fdtGUID;
    default: throw EKVException("Unknown ODBC Field Data Type: " + std::to_string(sqlType), nullptr, "CreateFields");
  }
}

SQLSMALLINT KVCTypeOfFieldDataType(int type) {
  switch (type) {
    case fdtBool: return SQL_C_BIT;
    case fdtInt8: return SQL_C_STINYINT;
    case fdtUInt8: return SQL_C_UTINYINT;
    case fdtInt16: return SQL_C_SSHORT;
    case fdtUInt16: return SQL_C_USHORT;
    case fdtInt32: return SQL_C_SLONG;
    case fdtUInt32: return SQL_C_ULONG;
    case fdtInt64: return SQL_C_SBIGINT;
    case fdtUInt64: return SQL_C_UBIGINT;
    case fdtSingle: return SQL_C_FLOAT;
    case fdtDouble:
    case fdtNumeric: return SQL_C_DOUBLE;
    case fdtDate: return SQL_C_TYPE_DATE;
    case fdtTime: return SQL_C_TYPE_TIME;
    case fdtDatetime: return SQL_C_TYPE_TIMESTAMP;
    case fdtString:
    case fdtMemo: return SQL_C_CHAR;
    case fdtWideString:
    case fdtWideMemo: return SQL_C_WCHAR;
    case fdtBinary: return SQL_C_BINARY;
    case fdtGUID: return SQL_C_GUID;
    default: KVRaiseUnknownValue(type, "TKVFieldDataType", nullptr, "GetCType");
  }
}

SQLLEN KVFixedBufferSizeOfFieldDataType(int type, SQLLEN columnSizeBytes) {
  switch (type) {
    case fdtBool:
    case fdtInt8:
    case fdtUInt8: return 1;
    case fdtInt16:
    case fdtUInt16: return 2;
    case fdtInt32:
    case fdtUInt32:
    case fdtSingle: return 4;
    case fdtInt64:
    case fdtUInt64:
    case fdtDouble:
    case fdtNumeric: return 8;
    case fdtDate:
    case fdtTime: return 6;
    case fdtDatetime:
    case fdtGUID: return 16;
    case fdtString: return std::max<SQLLEN>(columnSizeBytes, 0) + 1;
    case fdtWideString: return std::max<SQLLEN>(columnSizeBytes, 0) + 2;
    case fdtMemo:
    case fdtWideMemo:
    case fdtBinary: return 0;
    default: KVRaiseUnknownValue(type, "TKVFieldDataType", nullptr, "GetBufferSize");
  }
}

uint16_t KVVarTypeOfFieldDataType(int type, const char* routine) {
  switch (type) {
    case fdtBool: return varBoolean;
    case fdtInt8: return varShortInt;
    case fdtUInt8: return varByte;
    case fdtInt16: return varSmallint;
    case fdtUInt16: return varWord;
    case fdtInt32: return varInteger;
    case fdtUInt32: return varLongWord;
    case fdtInt64:
    case fdtUInt64: return varInt64;
    case fdtSingle: return varSingle;
    case fdtDouble:
    case fdtNumeric: return varDouble;
    case fdtDate:
    case fdtTime:
    case fdtDatetime: return varDate;
    case fdtString:
    case fdtMemo:
    case fdtGUID: return varString;
    case fdtWideString:
    case fdtWideMemo: return varOleStr;
    default: RaiseUnsupportedType(type, nullptr, routine);
  }
}

// --- Value buffer -----------------------------------------------------------------------------------------

TKVOdbcValueBuffer::TKVOdbcValueBuffer(TKVFieldDataType type, SQLUSMALLINT ordinal, SQLLEN columnSizeBytes)
    : m_Type(type), m_CType(KVCTypeOfFieldDataType(type)), m_Ordinal(ordinal) {
  if (KVIsLongDataType(type)) return;
  if (type == fdtString || type == fdtWideString) {
    if (columnSizeBytes <= 0 || columnSizeBytes > kMaxBoundTextBytes) return;  // read like long data
    m_Data.resize(static_cast<size_t>(KVFixedBufferSizeOfFieldDataType(type, columnSizeBytes)));
    m_Bound = true;
    return;
  }
  m_Data.resize(static_cast<size_t>(KVFixedBufferSizeOfFieldDataType(type)));
  m_Bound = true;
  m_Fixed = true;
}

size_t TKVOdbcValueBuffer::TerminatorSize() const {
  switch (m_CType) {
    case SQL_C_CHAR: return 1;
    case SQL_C_WCHAR: return 2;
    default: return 0;
  }
}

bool TKVOdbcValueBuffer::EnsureCapacity(size_t bytes) {
  if (bytes <= m_Data.size()) return false;
  if (m_Fixed)
    throw EKVException("Requested value buffer size (" + std::to_string(bytes) +
                           " Bytes) of fixed buffer is larger than current buffer size (" +
                           std::to_string(m_Data.size()) + " Bytes)",
                       nullptr, "InternalSetSize");
  const uint8_t* before = m_Data.data();
  m_Data.resize(bytes);
  return m_Data.data() != before;
}

bool TKVOdbcValueBuffer::SetSize(size_t bytes) { return EnsureCapacity(bytes + TerminatorSize()); }

void TKVOdbcValueBuffer::StripTrailingBlanks() {
  if (m_Indicator <= 0) return;
  size_t n = static_cast<size_t>(m_Indicator);
  if (m_CType == SQL_C_CHAR) {
    while (n > 0 && m_Data[n - 1] == ' ') --n;
    m_Data[n] = 0;
  } else if (m_CType == SQL_C_WCHAR) {
    n &= ~size_t{1};
    while (n >= 2 && m_Data[n - 2] == ' ' && m_Data[n - 1] == 0) n -= 2;
    m_Data[n] = 0;
    m_Data[n + 1] = 0;
  }
  m_Indicator = static_cast<SQLLEN>(n);
}

void TKVOdbcValueBuffer::ResetForNextRecord() {
  m_Fetched = false;
  m_FirstPartRead = false;
  m_Assigned = false;
}

void TKVOdbcValueBuffer::Bind(SQLHSTMT statement, const TKVRefLifeObject* object) {
  if (!m_Bound) return;
  KVOdbcCheck(SQLBindCol(statement, m_Ordinal, m_CType, m_Data.data(), static_cast<SQLLEN>(m_Data.size()), &m_Indicator),
              object, "BindBuffer", statement, SQL_HANDLE_STMT);
}

void TKVOdbcValueBuffer::AfterFetch() {
  m_Assigned = false;
  m_FirstPartRead = false;
  size_t term = TerminatorSize();
  if (term != 0 && m_Indicator != SQL_NULL_DATA &&
      (m_Indicator == SQL_NO_TOTAL || m_Indicator < 0 ||
       static_cast<size_t>(m_Indicator) + term > m_Data.size())) {
    // Truncated into the bound buffer (a driver's column size is a hint, not a limit: SQLite stores any
    // length): the value is read again with SQLGetData when asked for.
    m_Fetched = false;
    return;
  }
  m_Fetched = true;
}

void TKVOdbcValueBuffer::ReadFromCursor(SQLHSTMT statement, const TKVRefLifeObject* object) {
  const size_t term = TerminatorSize();
  if (m_Data.size() < kFirstChunk + term) m_Data.resize(kFirstChunk + term);
  SQLLEN ind = 0;
  SQLRETURN rc = SQLGetData(statement, m_Ordinal, m_CType, m_Data.data(), static_cast<SQLLEN>(m_Data.size()), &ind);
  m_FirstPartRead = true;
  if (rc == SQL_NO_DATA) {
    ind = 0;  // already read to the end: an empty value
  } else {
    KVOdbcCheck(rc, object, "ReadFirstData", statement, SQL_HANDLE_STMT);
  }
  if (ind == SQL_NULL_DATA) {
    m_Indicator = SQL_NULL_DATA;
    m_Fetched = true;
    m_Assigned = false;
    return;
  }
  size_t got;
  if (ind != SQL_NO_TOTAL && ind >= 0 && static_cast<size_t>(ind) + term <= m_Data.size()) {
    got = static_cast<size_t>(ind);
  } else {
    // More than the first chunk: the part read fills the buffer up to the terminator.
    got = m_Data.size() - term;
    if (term == 2) got &= ~size_t{1};
    bool knownTotal = ind != SQL_NO_TOTAL && ind >= 0;
    for (;;) {
      size_t want = knownTotal ? static_cast<size_t>(ind) + term : m_Data.size() * 2;
      if (want > m_Data.size()) m_Data.resize(want);
      SQLLEN ind2 = 0;
      rc = SQLGetData(statement, m_Ordinal, m_CType, m_Data.data() + got, static_cast<SQLLEN>(m_Data.size() - got), &ind2);
      if (rc == SQL_NO_DATA) break;
      KVOdbcCheck(rc, object, "FetchBlobData", statement, SQL_HANDLE_STMT);
      if (ind2 != SQL_NO_TOTAL && ind2 >= 0 && static_cast<size_t>(ind2) + term <= m_Data.size() - got) {
        got += static_cast<size_t>(ind2);
        break;
      }
      size_t part = m_Data.size() - got - term;
      if (term == 2) part &= ~size_t{1};
      got += part;
      knownTotal = false;  // the driver's remaining count no longer matters: double until done
    }
  }
  if (got + term > m_Data.size()) m_Data.resize(got + term);
  for (size_t i = 0; i < term; ++i) m_Data[got + i] = 0;
  m_Indicator = static_cast<SQLLEN>(got);
  m_Fetched = true;
  m_Assigned = false;
}

namespace {

template <class T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
void Store(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

std::string GuidText(const uint8_t* p) {
  SQLGUID g;
  std::memcpy(&g, p, sizeof g);
  TGUID t;
  t.Data1 = g.Data1;
  t.Data2 = g.Data2;
  t.Data3 = g.Data3;
  std::memcpy(t.Data4.data(), g.Data4, 8);
  return t.ToString();
}

// Dates the structures cannot hold as a day count (MariaDB's 0000-00-00) read as NULL rather than as a
// made-up day.
TKVVariant DateValue(int y, int m, int d, int hh, int nn, int ss, int ms) {
  TKVDateTimeParts parts{y, m, d, hh, nn, ss, ms};
  double v = 0;
  if (!KVTryEncodeDateTime(parts, v)) return TKVVariant::Null();
  return TKVVariant::FromDateTime(v);
}

}  // namespace

TKVVariant TKVOdbcValueBuffer::Value() const {
  if (m_Indicator == SQL_NULL_DATA) return TKVVariant::Null();
  const uint8_t* p = m_Data.data();
  const size_t n = Size();
  switch (m_Type) {
    case fdtBool: return TKVVariant::FromBoolean(p[0] != 0);
    case fdtInt8: return TKVVariant::FromInt8(Load<int8_t>(p));
    case fdtUInt8: return TKVVariant::FromUInt8(p[0]);
    case fdtInt16: return TKVVariant::FromInt16(Load<int16_t>(p));
    case fdtUInt16: return TKVVariant::FromUInt16(Load<uint16_t>(p));
    case fdtInt32: return TKVVariant::FromInt32(Load<int32_t>(p));
    case fdtUInt32: return TKVVariant::FromUInt32(Load<uint32_t>(p));
    case fdtInt64: return TKVVariant::FromInt64(Load<int64_t>(p));
    case fdtUInt64: return TKVVariant::FromUInt64(Load<uint64_t>(p));
    case fdtSingle: return TKVVariant::FromSingle(Load<float>(p));
    case fdtDouble:
    case fdtNumeric: return TKVVariant::FromDouble(Load<double>(p));
    case fdtDate: {
      auto d = Load<SQL_DATE_STRUCT>(p);
      return DateValue(d.year, d.month, d.day, 0, 0, 0, 0);
    }
    case fdtTime: {
      auto t = Load<SQL_TIME_STRUCT>(p);
      if (t.hour > 23 || t.minute > 59 || t.second > 59) return TKVVariant::Null();
      return TKVVariant::FromDateTime((t.hour * 3600.0 + t.minute * 60.0 + t.second) / 86400.0);
    }
    case fdtDatetime: {
      auto t = Load<SQL_TIMESTAMP_STRUCT>(p);
      return DateValue(t.year, t.month, t.day, t.hour, t.minute, t.second, static_cast<int>(t.fraction / 1000000));
    }
    case fdtString:
    case fdtMemo: return TKVVariant::FromString(std::string(reinterpret_cast<const char*>(p), n));
    case fdtWideString:
    case fdtWideMemo: {
      std::u16string w(n / 2, u'\0');
      if (!w.empty()) std::memcpy(w.data(), p, w.size() * 2);
      return TKVVariant::FromWideString(std::move(w));
    }
    case fdtBinary:
      switch (n) {
        case 2: return TKVVariant::FromInt16(Load<int16_t>(p));
        case 4: return TKVVariant::FromInt32(Load<int32_t>(p));
        case 8: return TKVVariant::FromInt64(Load<int64_t>(p));
        default: return TKVVariant::FromBytes(std::vector<uint8_t>(p, p + n));
      }
    case fdtGUID: return TKVVariant::FromString(GuidText(p));
  }
  return TKVVariant::Null();
}

std::vector<uint8_t> TKVOdbcValueBuffer::Bytes() const {
  if (m_Indicator == SQL_NULL_DATA) return {};
  return std::vector<uint8_t>(m_Data.begin(), m_Data.begin() + static_cast<std::ptrdiff_t>(Size()));
}

void TKVOdbcValueBuffer::SetBytes(const void* data, size_t size) {
  size_t term = TerminatorSize();
  if (m_Fixed && size != m_Data.size())
    EnsureCapacity(size);  // raises when larger; a shorter value for a fixed type is accepted as is
  else
    EnsureCapacity(size + term);
  if (size) std::memcpy(m_Data.data(), data, size);
  for (size_t i = 0; i < term; ++i) m_Data[size + i] = 0;
  m_Indicator = static_cast<SQLLEN>(size);
  m_Fetched = true;
  m_Assigned = true;
}

void TKVOdbcValueBuffer::Clear() {
  m_Indicator = SQL_NULL_DATA;
  if (!m_Data.empty() && !m_Fixed) m_Data[0] = 0;
  m_Fetched = true;
  m_Assigned = true;
}

namespace {

template <class T>
T CheckedInt(int64_t v) {
  if (v < static_cast<int64_t>(std::numeric_limits<T>::min()) || v > static_cast<int64_t>(std::numeric_limits<T>::max()))
    throw EVariantOverflowError("InternalSetValue");
  return static_cast<T>(v);
}

}  // namespace

void TKVOdbcValueBuffer::SetValue(const TKVVariant& v) {
  if (v.IsEmptyOrNull()) {
    Clear();
    return;
  }
  // Converted completely before the buffer is touched, so that a failed conversion leaves it unchanged.
  uint8_t fixed[16] = {};
  size_t fixedSize = 0;
  switch (m_Type) {
    case fdtBool: fixed[0] = v.AsBoolean() ? 1 : 0; fixedSize = 1; break;
    case fdtInt8: Store(fixed, CheckedInt<int8_t>(v.AsInt64())); fixedSize = 1; break;
    case fdtUInt8: Store(fixed, CheckedInt<uint8_t>(v.AsInt64())); fixedSize = 1; break;
    case fdtInt16: Store(fixed, CheckedInt<int16_t>(v.AsInt64())); fixedSize = 2; break;
    case fdtUInt16: Store(fixed, CheckedInt<uint16_t>(v.AsInt64())); fixedSize = 2; break;
    case fdtInt32: Store(fixed, CheckedInt<int32_t>(v.AsInt64())); fixedSize = 4; break;
    case fdtUInt32: Store(fixed, CheckedInt<uint32_t>(v.AsInt64())); fixedSize = 4; break;
    case fdtInt64: Store(fixed, v.AsInt64()); fixedSize = 8; break;
    case fdtUInt64: Store(fixed, v.AsUInt64()); fixedSize = 8; break;
    case fdtSingle: {
      double d = v.AsDouble();
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) throw EVariantOverflowError("InternalSetValue");
      Store(fixed, static_cast<float>(d));
      fixedSize = 4;
      break;
    }
    case fdtDouble:
    case fdtNumeric: Store(fixed, v.AsDouble()); fixedSize = 8; break;
    case fdtDate:
    case fdtTime:
    case fdtDatetime: {
      TKVDateTimeParts t = KVDecodeDateTime(v.AsDateTime());
      if (m_Type == fdtDate) {
        SQL_DATE_STRUCT d{static_cast<SQLSMALLINT>(t.Year), static_cast<SQLUSMALLINT>(t.Month),
                          static_cast<SQLUSMALLINT>(t.Day)};
        Store(fixed, d);
        fixedSize = sizeof d;
      } else if (m_Type == fdtTime) {
        SQL_TIME_STRUCT d{static_cast<SQLUSMALLINT>(t.Hour), static_cast<SQLUSMALLINT>(t.Minute),
                          static_cast<SQLUSMALLINT>(t.Second)};
        Store(fixed, d);
        fixedSize = sizeof d;
      } else {
        SQL_TIMESTAMP_STRUCT d{static_cast<SQLSMALLINT>(t.Year),   static_cast<SQLUSMALLINT>(t.Month),
                               static_cast<SQLUSMALLINT>(t.Day),   static_cast<SQLUSMALLINT>(t.Hour),
                               static_cast<SQLUSMALLINT>(t.Minute), static_cast<SQLUSMALLINT>(t.Second),
                               static_cast<SQLUINTEGER>(t.Millisecond) * 1000000u};
        Store(fixed, d);
        fixedSize = sizeof d;
      }
      break;
    }
    case fdtGUID: {
      std::string text = v.AsString();
      // Braces are optional on the way in: one of each end is put back for the parser.
      std::string_view inner = KVTrimRight(KVTrimLeft(text, " \t\r\n{"), " \t\r\n}");
      TGUID g = TGUID::Parse("{" + std::string(inner) + "}");
      SQLGUID s;
      s.Data1 = g.Data1;
      s.Data2 = g.Data2;
      s.Data3 = g.Data3;
      std::memcpy(s.Data4, g.Data4.data(), 8);
      Store(fixed, s);
      fixedSize = 16;
      break;
    }
    case fdtString:
    case fdtMemo: {
      std::string s = v.VarType() == varByteArray ? std::string() : v.AsString();
      if (v.VarType() == varByteArray) {
        auto bytes = v.AsBytes();
        s.assign(bytes.begin(), bytes.end());
      }
      SetBytes(s.data(), s.size());
      return;
    }
    case fdtWideString:
    case fdtWideMemo: {
      std::u16string w = v.AsWideString();
      SetBytes(w.data(), w.size() * 2);
      return;
    }
    case fdtBinary: {
      // An integer goes in as its own bytes, so that a 2-, 4- or 8-byte binary value read as an integer
      // writes back unchanged; everything else as the bytes of its text (byte arrays as they are).
      switch (v.VarType()) {
        case varSmallint: { int16_t x = static_cast<int16_t>(v.AsInt32()); SetBytes(&x, 2); return; }
        case varInteger: { int32_t x = v.AsInt32(); SetBytes(&x, 4); return; }
        case varInt64: { int64_t x = v.AsInt64(); SetBytes(&x, 8); return; }
        default: {
          auto bytes = v.AsBytes();
          SetBytes(bytes.data(), bytes.size());
          return;
        }
      }
    }
  }
  EnsureCapacity(fixedSize);
  std::memcpy(m_Data.data(), fixed, fixedSize);
  m_Indicator = static_cast<SQLLEN>(fixedSize);
  m_Fetched = true;
  m_Assigned = true;
}

void TKVOdbcValueBuffer::SaveTo(TSnapshot& into) const {
  into.Bytes.assign(m_Data.begin(), m_Data.end());
  into.Indicator = m_Indicator;
  into.Fetched = m_Fetched;
  into.FirstPartRead = m_FirstPartRead;
  into.Assigned = m_Assigned;
}

bool TKVOdbcValueBuffer::RestoreFrom(const TSnapshot& from) {
  bool moved = false;
  if (from.Bytes.size() > m_Data.size()) {
    const uint8_t* before = m_Data.data();
    m_Data.resize(from.Bytes.size());
    moved = m_Data.data() != before;
  }
  if (!from.Bytes.empty()) std::memcpy(m_Data.data(), from.Bytes.data(), from.Bytes.size());
  m_Indicator = from.Indicator;
  m_Fetched = from.Fetched;
  m_FirstPartRead = from.FirstPartRead;
  m_Assigned = from.Assigned;
  return moved;
}

// --- Field ------------------------------------------------------------------------------------------------

namespace {

[[noreturn]] void RaiseAttribute(const char* property, SQLLEN value, const TKVRefLifeObject* object) {
  throw EKVException("Unknown Value of Property \"" + std::string(property) + "\", value: " + std::to_string(value),
                     object, "CreateFields");
}

SQLLEN CharWidth(TKVFieldDataType t) {
  switch (t) {
    case fdtString:
    case fdtMemo: return 1;
    case fdtWideString:
    case fdtWideMemo: return 2;
    default: return 0;
  }
}

// Room for a text column's value in the bound buffer: UTF-8 needs up to 4 bytes per character the driver
// counts, UTF-16 up to 2 units.
SQLLEN BoundTextBytes(TKVFieldDataType t, SQLLEN characters) {
  if (characters <= 0) return 0;
  if (t == fdtString) return characters * 4;
  if (t == fdtWideString) return characters * 4;
  return 0;
}

}  // namespace

TKVOdbcField::TKVOdbcField(TKVOdbcRecordsetBase& recordset, const TKVOdbcColumnDescription& d)
    : m_Recordset(recordset),
      m_Description(d),
      m_Name(d.Name),
      m_Type(KVFieldDataTypeOfSqlType(static_cast<SQLSMALLINT>(d.ConciseType), d.Unsigned == SQL_TRUE)),
      m_SqlType(static_cast<SQLSMALLINT>(d.ConciseType)),
      m_Buffer(m_Type, d.Ordinal, BoundTextBytes(m_Type, d.Length)) {
  m_Size = std::max<SQLLEN>(d.Length, 0) * CharWidth(m_Type);
  m_Precision = d.Precision;
  m_Scale = d.Scale;
  if (d.Unsigned != SQL_TRUE && d.Unsigned != SQL_FALSE) RaiseAttribute("Signed", d.Unsigned, this);
  m_Signed = d.Unsigned == SQL_FALSE;
  switch (d.Nullable) {
    case SQL_NO_NULLS: m_Nullable = TKVNullability::NotNull; break;
    case SQL_NULLABLE: m_Nullable = TKVNullability::Nullable; break;
    case SQL_NULLABLE_UNKNOWN: m_Nullable = TKVNullability::Unknown; break;
    default: RaiseAttribute("NullValuesAllowed", d.Nullable, this);
  }
  switch (d.Updatable) {
    case SQL_ATTR_READONLY: m_Updatable = false; break;
    case SQL_ATTR_WRITE:
    case SQL_ATTR_READWRITE_UNKNOWN: m_Updatable = true; break;
    default: RaiseAttribute("Updatable", d.Updatable, this);
  }
  if (d.AutoUniqueValue != SQL_TRUE && d.AutoUniqueValue != SQL_FALSE)
    RaiseAttribute("AutoIncrementing", d.AutoUniqueValue, this);
  m_AutoIncrement = d.AutoUniqueValue == SQL_TRUE;
  if (m_AutoIncrement && KVIsIntegerDataType(m_Type)) m_Updatable = false;
  m_IsBookmark = d.Ordinal == 0;
}

TKVOdbcValueBuffer& TKVOdbcField::Buffer() {
  if (!m_Buffer.Fetched() && m_Recordset.Active() && m_Recordset.HasCurrentRecord()) {
    if (m_Buffer.Bound()) m_Buffer.AfterFetch();
    if (!m_Buffer.Fetched()) {
      const uint8_t* before = m_Buffer.Data();
      m_Buffer.ReadFromCursor(m_Recordset.Handle(), this);
      if (m_Buffer.Data() != before) Rebind();
    }
    if (m_SqlType == SQL_CHAR || m_SqlType == SQL_WCHAR) m_Buffer.StripTrailingBlanks();
  }
  return m_Buffer;
}

void TKVOdbcField::Rebind() {
  if (m_Recordset.Handle() == SQL_NULL_HSTMT) return;
  // The SQLite driver sets the length/indicator of a column to 0 when it is bound: the value in the buffer
  // would read as empty.
  SQLLEN indicator = m_Buffer.Indicator();
  m_Buffer.Bind(m_Recordset.Handle(), this);
  m_Buffer.Indicator() = indicator;
}

std::string TKVOdbcField::DisplayText() {
  if (!m_Recordset.HasCurrentRecord() && !KVIsModifyingState(m_Recordset.State())) {
    SQLRETURN rc = m_Recordset.LastFetchReturnCode();
    if (!m_Recordset.Scrollable() || m_Recordset.Position() == 0 ||
        (rc == SQL_NO_DATA && m_Recordset.KnownRecordCount() == 0))
      return {};
    return std::string("<") + KVOdbcReturnCodeName(rc) + ": " + m_Recordset.LastFetchDiagnostic() + ">";
  }
  TKVOdbcValueBuffer& b = Buffer();
  if (b.IsNull()) return {};
  switch (m_Type) {
    case fdtBool: return b.Data()[0] ? "True" : "False";
    case fdtDate:
    case fdtTime:
    case fdtDatetime: {
      TKVVariant v = b.Value();
      if (v.IsNull()) return {};
      double d = v.AsDateTime();
      return d == 0 ? std::string() : KVFormatIsoDateTime(d);
    }
    case fdtBinary: {
      size_t n = b.Size();
      if (m_IsBookmark && (n == 2 || n == 4 || n == 8)) {
        uint64_t u = 0;
        std::memcpy(&u, b.Data(), n);  // little-endian
        return std::to_string(u);
      }
      // Binary data is not compressed here: the stored size is the size.
      size_t stored = n;
      long ratio = n == 0 ? 0 : std::lround((1.0 - static_cast<double>(stored) / static_cast<double>(n)) * 100.0);
      return "<binary data, size: " + std::to_string(n) + " bytes, stored size: " + std::to_string(stored) +
             " bytes, compression ratio: " + std::to_string(ratio) + "%>";
    }
    default: return b.Value().AsString();
  }
}

std::string TKVOdbcField::Caption() const {
  const char* nullable = m_Nullable == TKVNullability::NotNull   ? "No"
                         : m_Nullable == TKVNullability::Nullable ? "Yes"
                                                                  : "Unknown";
  return "Name:\t\t" + m_Name + "\rDatatype:\t" + KVFieldDataTypeCaption(m_Type) + "\rDatasize:\t" +
         std::to_string(m_Size) + " Byte(s)\rNullable:\t" + nullable;
}

void TKVOdbcField::CheckUpdatable() {
  TKVOdbcRecordsetBase& r = m_Recordset;
  if (r.State() == rsBrowsing && r.Properties().HasAttribute(raAutoEdit)) r.Edit();
  if (!KVIsModifyingState(r.State())) throw EKVException("Not in Udatable State", &r, "CheckupdatableState");
}

void TKVOdbcField::AfterWrite(bool memoryMoved) {
  if (memoryMoved) Rebind();
  m_Recordset.NotifyDataChanged(this);
}

void TKVOdbcField::SetValue(const TKVVariant& value) {
  CheckUpdatable();
  const uint8_t* before = m_Buffer.Data();
  m_Buffer.SetValue(value);
  AfterWrite(m_Buffer.Data() != before);
}

void TKVOdbcField::SetBytes(const void* data, size_t size) {
  CheckUpdatable();
  const uint8_t* before = m_Buffer.Data();
  m_Buffer.SetBytes(data, size);
  AfterWrite(m_Buffer.Data() != before);
}

void TKVOdbcField::SetText(const std::string& text) {
  if (m_Type == fdtWideString || m_Type == fdtBinary) RaiseUnsupportedType(m_Type, this, "SetText");
  if (text.empty()) {
    SetValue(TKVVariant::Null());
    return;
  }
  switch (m_Type) {
    case fdtBool: SetValue(TKVVariant::FromBoolean(text[0] != '\0' && std::strchr("tT1wWyYsSqQ", text[0]) != nullptr)); return;
    case fdtString:
    case fdtMemo:
    case fdtWideMemo:
    case fdtGUID: SetValue(TKVVariant::FromString(text)); return;
    default: SetValue(TKVVariant::FromText(KVVarTypeOfFieldDataType(m_Type, "SetText"), text)); return;
  }
}

void TKVOdbcField::SetFetchedValue(const TKVVariant& value) {
  const uint8_t* before = m_Buffer.Data();
  m_Buffer.SetValue(value);
  m_Buffer.SetAssigned(false);
  if (m_Buffer.Data() != before) Rebind();
}

#pragma once
// The text side of the database layer: named parameters in SQL text and their replacement by literals,
// the clauses of a SELECT and their replacement, filter and sort edits, and the checks a text passes
// before it goes to the driver. Nothing here talks to a database.
//
// Parameters are written ":name". The driver never sees them: every parameter is replaced by an SQL
// literal of its value before execution, because not every driver binds parameters by name and a
// recordset's text must be complete for the driver to describe its columns.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KVRefObject.h"
#include "foundation/KVVariant.h"

class TKVSqlParameterList;

// --- Parameters -------------------------------------------------------------------------------------------

// One named parameter of an SQL text. Its value starts Empty, which counts as "no value assigned yet";
// Null is an assigned value. A literal parameter is put into the text as its plain text, without quotes
// or conversion: the user then writes the SQL literal himself ("'abc'", "DATE '2020-01-02'").
class TKVSqlParameter {
 public:
  TKVSqlParameter(const TKVSqlParameter&) = delete;
  TKVSqlParameter& operator=(const TKVSqlParameter&) = delete;

  const std::string& Name() const { return m_Name; }
  const TKVVariant& Value() const { return m_Value; }
  bool IsAssigned() const { return !m_Value.IsEmpty(); }
  bool Literal() const { return m_Literal; }

  // Both notify the owning list's value-changed handler when they change something: a change of type
  // counts even where the values compare equal (Empty to 0 turns "unassigned" into a value).
  void SetValue(const TKVVariant& value);
  void SetLiteral(bool literal);

 private:
  friend class TKVSqlParameterList;
  TKVSqlParameter(TKVSqlParameterList* owner, std::string name) : m_Owner(owner), m_Name(std::move(name)) {}

  TKVSqlParameterList* m_Owner;
  std::string m_Name;
  TKVVariant m_Value;
  bool m_Literal = false;
};

// The parameters of one SQL text in the order of their first appearance; names compare case-insensitively
// (ASCII). References to parameters stay valid until the parameter leaves the list.
class TKVSqlParameterList : public TKVRefLifeObject {
 public:
  using TValueChangedHandler = std::function<void(TKVSqlParameter&)>;

  TKVSqlParameterList() = default;
  std::string ClassName() const override { return "TKVSqlParameterList"; }

  size_t Count() const { return m_Items.size(); }
  bool Empty() const { return m_Items.empty(); }
  // `index` must be below Count().
  TKVSqlParameter& Item(size_t index) { return *m_Items[index]; }
  const TKVSqlParameter& Item(size_t index) const { return *m_Items[index]; }
  // -1 when absent.
  int IndexOf(std::string_view name) const;
  // nullptr when absent.
  TKVSqlParameter* Find(std::string_view name);
  const TKVSqlParameter* Find(std::string_view name) const;

  // By a variant: any integer type is a position, a string of either kind a name. Raises EKVException for
  // any other type, an unknown name and a position outside the list.
  TKVSqlParameter& GetParameter(const TKVVariant& index);

  // The parameter of that name, appended with no value when it is not there yet.
  TKVSqlParameter& Add(std::string_view name);
  void Clear() { m_Items.clear(); }

  // Makes the list hold exactly the parameters of `sqlText` (KVSqlParameterNames), in its order. A
  // parameter that was there before keeps its object, value and literal flag and takes the spelling of its
  // name from the new text. No value-changed notifications are sent.
  void Refresh(std::string_view sqlText);

  // Called after a parameter's value or literal flag changed ("OnParameterValueChanged").
  void SetOnParameterValueChanged(TValueChangedHandler handler) { m_OnValueChanged = std::move(handler); }

 private:
  friend class TKVSqlParameter;
  void ValueChanged(TKVSqlParameter& parameter) {
    if (m_OnValueChanged) m_OnValueChanged(parameter);
  }

  std::vector<std::unique_ptr<TKVSqlParameter>> m_Items;
  TValueChangedHandler m_OnValueChanged;
};

// The parameter names of an SQL text in order of first appearance, each once (case-insensitively). The
// text is cut into words at any of ",;() \t\n\r=<>!*+-"; a word of more than one character that starts
// with ":" names a parameter, the name being the word without that colon. Quoted text is not skipped.
std::vector<std::string> KVSqlParameterNames(std::string_view sqlText);

// Every parameter reference of an SQL text in text order (words as for KVSqlParameterNames), with the word
// in front of it: in "WHERE d.MASTER_ID = :ID" the reference "ID" has the preceding word "d.MASTER_ID".
// A detail recordset uses this to fill the column compared with a master parameter on insert. The
// preceding word is empty for a reference at the start of the text.
struct TKVSqlParameterReference {
  std::string Name;
  std::string PrecedingWord;
  size_t Position = 0;  // of the ":"
};
std::vector<TKVSqlParameterReference> KVSqlParameterReferences(std::string_view sqlText);

// A copy of `sqlText` with every parameter reference replaced ("ResolveSQLParamValues"):
//  - each ":" anywhere in the text starts a reference: the word from there up to any of
//    ",;() \t\n\r=<>!*+-", with ":" trimmed from both ends, is the name. A lone ":" is no reference.
//    Quoted text is not skipped, so a colon in a string or time literal ('10:30') is read as a reference
//    to a parameter "30'" and fails below unless such a parameter exists; such text belongs in a
//    parameter value instead.
//  - a parameter whose value is Null or unassigned replaces its word and the operator and white space in
//    front of it by " IS NULL ": "a = :p" and "a <> :p" both become "a IS NULL ".
//  - a literal parameter puts in its value's plain text, any other its KVValueAsSQLLiteral with "'".
//  - the scan goes on after the inserted text, so a value's own colons are never read as references.
// Names with no parameter in `params` are collected (each once) and raised together in one EKVException
// naming them; `object` is the raiser named in that error.
std::string KVResolveSQLParamValues(std::string_view sqlText, const TKVSqlParameterList& params,
                                    const TKVRefLifeObject* object = nullptr);

// --- Literals ---------------------------------------------------------------------------------------------

// The SQL literal of a value ("ValueAsSQLLiteral"):
//  - Null: NULL
//  - the integer types and Boolean: the variant's text ("42", "True")
//  - Single, Double, Currency: the variant's text, which is locale independent ("1.5", "1.5E20")
//  - Date: formatted with `dateTimeFormat` (KVFormatDateTimePattern), without quotes added. With no format
//    the ODBC timestamp escape "{ts 'yyyy-mm-dd hh:nn:ss.zzz'}", which every driver turns into its own
//    timestamp literal (statements must keep escape scanning on, the default). Callers that need another
//    form put it, quotes included, into the format.
//  - strings: enclosed in `quote`, each `quote` inside doubled; but a string that is a GUID (after
//    trimming blanks, tabs, line breaks, parentheses, braces, brackets and quotes from its ends and putting
//    it in braces) is inserted unchanged, so that a GUID already written as the database wants it survives.
//  - anything else (Empty, byte arrays): EKVException "Variant Type Cannot be converted to SQL Literal".
std::string KVValueAsSQLLiteral(const TKVVariant& value, char quote = '\'', std::string_view dateTimeFormat = {});

// A date-time value written with a pattern. Letters, in either case: yyyy/yy the year (4 or 2 digits),
// mm/m month, dd/d day, hh/h hour (24-hour clock), nn/n minute, ss/s second, zzz/z millisecond; the
// doubled forms pad with zeros, longer runs of a letter act as the doubled form. Text in double quotes is
// copied without its quotes; every other character, other letters and single quotes included, is copied as
// it stands ("'yyyy-mm-dd hh:nn:ss'" gives '2020-01-02 10:30:00'). Raises EKVException for a value
// outside the years 1..9999.
std::string KVFormatDateTimePattern(double value, std::string_view pattern);

// --- Statement checks and generated text ------------------------------------------------------------------

// The text that is sent to the driver: parameters resolved, then blanks, tabs, line breaks and ";"
// removed from both ends.
std::string KVPreparedSQLText(std::string_view sqlText, const TKVSqlParameterList& params,
                              const TKVRefLifeObject* object = nullptr);

// Raises EKVException when the text holds nothing but blanks, tabs and line breaks.
void KVCheckSQLNotEmpty(std::string_view sqlText, const TKVRefLifeObject* object = nullptr);

// Whether the first word (after leading white space, up to any of ",;() \t\n\r") is SELECT in any case.
bool KVIsSelectStatement(std::string_view sqlText);

// The check before execution: KVCheckSQLNotEmpty, then the statement kind. A recordset (`selectExpected`)
// accepts only a SELECT, a plain statement anything but a SELECT; the other kind raises EKVException.
void KVCheckPreparedSQLStatement(std::string_view sqlText, bool selectExpected,
                                 const TKVRefLifeObject* object = nullptr);

// "SELECT * FROM "name"", or with a sort column "SELECT * FROM "name" ORDER BY column ASC;". Double quotes
// at the ends of the name are removed before it is quoted again, so an already quoted name is not quoted
// twice and a qualified name given as "dbo"."T" passes unchanged. The column is inserted as given.
std::string KVSQLTextForTable(std::string_view tableName, std::string_view sortColumn = {});

// --- Clauses ----------------------------------------------------------------------------------------------

// The parts of a statement the partitioner reads and replaces, in the order they appear in a SELECT.
// SelectList is the text between the statement's first word (SELECT, UPDATE, INSERT or DELETE) and FROM.
enum class TKVSqlClause : uint8_t { SelectList, From, Where, GroupBy, Having, OrderBy, ForUpdateOf };

// Reads and replaces the clauses of a statement text. Keywords are recognised as whole words in any case,
// words ending at any of ",;() \t\n\r"; the words of "GROUP BY", "ORDER BY" and "FOR UPDATE OF" may be
// separated by any white space. LEFT, RIGHT, INNER, OUTER and JOIN end no clause: joins belong to FROM.
// Keywords inside quotes ('...', "...", `...`) or parentheses are not clause keywords, so string
// literals, quoted names and subqueries ("WHERE a IN (SELECT b FROM c)") keep their text.
//
// A clause runs from its keyword to the next keyword of a later clause, or to the end of the text
// (without any ";" and white space at the very end).
class TKVSQLStatmentPartitioner {
 public:
  TKVSQLStatmentPartitioner() = default;
  explicit TKVSQLStatmentPartitioner(std::string text) : m_Text(std::move(text)) {}

  const std::string& Text() const { return m_Text; }
  void SetText(std::string text) { m_Text = std::move(text); }

  bool HasClause(TKVSqlClause clause) const;
  // The clause's text without its keyword, trimmed of white space; empty when absent.
  std::string Clause(TKVSqlClause clause) const;

  // Replaces the clause's text (trimmed of white space first); returns whether the text changed. Does
  // nothing when the new text equals the current one.
  //  - a new select list is written "SELECT <text>\r\n", any other clause "\r\n<KEYWORD> <text>\r\n"
  //    ("\r\nWHERE a = 1\r\n"); white space in front of a replaced clause is dropped with it, so that
  //    repeated replacements do not pile up empty lines;
  //  - an absent clause is inserted in front of the first later clause that exists, else at the end;
  //  - an empty text removes the clause with its keyword.
  bool SetClause(TKVSqlClause clause, std::string_view text);

  // What a statement calls itself in messages: its FROM clause.
  std::string StatementName() const { return Clause(TKVSqlClause::From); }

 private:
  std::string m_Text;
};

// The keyword a clause is written with: "SELECT", "FROM", "WHERE", "GROUP BY", "HAVING", "ORDER BY",
// "FOR UPDATE OF".
const char* KVSqlClauseKeyword(TKVSqlClause clause);

// A WHERE clause (without the keyword) with the condition on one field set: "field IS NULL" for Null or
// Empty, else "field = literal" (KVValueAsSQLLiteral with "'"). When the clause already compares the field
// (the name as a whole word outside string literals, followed by an operator such as "=", "<>", "IS NOT",
// "LIKE" and a value), that comparison is replaced in place; otherwise the condition is appended in
// parentheses after " AND ". An old clause with an OR outside parentheses is put in parentheses first, so
// that the new condition restricts all of it.
std::string KVWhereClauseWithFilter(std::string_view whereClause, std::string_view fieldName,
                                    const TKVVariant& value);

// The place of a field in an ORDER BY clause (without the keyword), items separated by "," or ";": the
// 1-based number of the first item that starts with the field's name, negative when the word after the
// name begins with "DESC" in any case (DESC, DESCENDING), 0 when no item names the field. Names compare
// case-insensitively, with or without quotes or brackets around them.
int KVOrderByFieldPosition(std::string_view orderByClause, std::string_view fieldName);

// An ORDER BY clause with the field moved to the front: its items are removed, and for a non-zero
// `direction` "field ASC" (positive) or "field DESC" (negative) becomes the first item. The items are
// written joined by ", "; the result is empty when nothing is left.
std::string KVOrderByWithFieldSort(std::string_view orderByClause, std::string_view fieldName, int direction);

// --- Stored form ------------------------------------------------------------------------------------------

// Text storages keep one value per line, so SQL is stored with tab, line feed and carriage return replaced
// by the bytes 0xFD, 0xFE and 0xFF, which never occur in UTF-8 text; reading reverses it.
std::string KVSqlToStoredForm(std::string_view sqlText);
std::string KVSqlFromStoredForm(std::string_view storedText);

// --- The SQL property of a statement ----------------------------------------------------------------------

// The SQL text of a statement with its parameter list. Setting a text that differs from the current one
// in more than letter case stores it, refreshes the parameters (keeping the values of those that remain)
// and calls the change handler. A change of letter case alone is ignored, as the text is compared the way
// SQL compares keywords and names; the clause and filter operations below compare exactly instead, since a
// changed string literal must reach the database.
class TKVSqlProperty : public TKVRefLifeObject {
 public:
  using TChangeHandler = std::function<void()>;

  TKVSqlProperty() = default;
  std::string ClassName() const override { return "TKVSqlProperty"; }

  const std::string& Text() const { return m_Text; }
  // Returns whether the text was stored.
  bool SetText(std::string_view text);

  TKVSqlParameterList& Parameters() { return m_Parameters; }
  const TKVSqlParameterList& Parameters() const { return m_Parameters; }

  // The handler is called only while notification is on (the default).
  void SetOnChange(TChangeHandler handler) { m_OnChange = std::move(handler); }
  bool NotifyChanges() const { return m_NotifyChanges; }
  void SetNotifyChanges(bool notify) { m_NotifyChanges = notify; }

  // KVResolveSQLParamValues and KVPreparedSQLText on this text and list, raising as this object.
  std::string ResolvedText() const;
  std::string PreparedText() const;

  std::string Clause(TKVSqlClause clause) const;
  // Returns whether the text changed.
  bool SetClause(TKVSqlClause clause, std::string_view text);
  std::string StatementName() const;

  // KVWhereClauseWithFilter on the WHERE clause.
  void SetFilterValue(std::string_view fieldName, const TKVVariant& value);
  // KVOrderByFieldPosition / KVOrderByWithFieldSort on the ORDER BY clause.
  int SortPosition(std::string_view fieldName) const;
  void SetSortDirection(std::string_view fieldName, int direction);

 private:
  void Store(std::string text);

  std::string m_Text;
  TKVSqlParameterList m_Parameters;
  TChangeHandler m_OnChange;
  bool m_NotifyChanges = true;
};

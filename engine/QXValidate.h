#pragma once
// Validation of a definition tree: every node is prepared the way a run would prepare it (connections
// opened, recordsets executed, field value functions asked to check their arguments), and the outcome is
// written node by node into the operation report and kept on the nodes (ValidationSeverity, whose bold
// state and colour the tree shows, and ValidationReportRange, where the node's lines are).
//
// Report block of "Validate All" (colours as COLORREF 0x00BBGGRR):
//   "\r\n\r\n"                                                     navy
//   <date and time> ": Validation Started" "\r\n"                  navy, bold (the heading style)
//   "=" repeated to the length of the line above, "\r\n"           navy, bold
//   then per definition node, in pre-order over the whole tree, active or not:
//   <node path> ":" "\r\n"                                         black
//   <result> "\r\n\r\n"                                            the result's colour
// where <result> is "Ok" (green) for a node without a message, "<severity name>: <message>" in the
// severity's colour otherwise (the bare message for severity 0). A node that is not Active writes both of
// its lines in grey.
//
// Nothing validation opens stays open: after the visit every node it tried is closed again (children
// before their parents, so a destination database commits the transaction its validation began after its
// recordsets are closed — nothing has been written in it). Recordsets are executed for their columns only
// (a WHERE clause that matches nothing), so validating a large table reads none of its rows; stored
// procedure nodes are executed as they are, since their text has no clause to replace.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "definition/QXDTree.h"
#include "definition/QXDTreeOps.h"
#include "engine/QXReport.h"
#include "foundation/KVExceptions.h"

// The colour of a severity: 0 black, 1 0x008000, 2 0xFFF0E6, 3 0x0080FF, 4 0x0000FF; values above 4 as 4.
uint32_t QXSeverityColor(int severity);
// Grey, the colour of everything an inactive node shows.
inline constexpr uint32_t kQXInactiveColor = kQXColorGrey;

// One node's check. A function node: its function's check (TQXDFieldFuncData::ValidateFunction, severity
// clamped to 0..4). Every other node is opened (Open): an error gives its message text and severity 4,
// success an empty message. The node is left open; the caller closes it.
TQXValidationResult QXValidate(TQXDDataBase& node);

// One node's report entry (layout above), appended at the end of `report`: resets the node's severity and
// range first, then stores the severity and the positions of its two lines (header start, header length
// including its "\r\n", result start, result length without the line breaks). An error escaping the check
// becomes the node's "Error" entry. Leaves the node open like QXValidate. Items without definition data are
// left alone (false).
bool QXValidateNode(TKVTreeItem& item, TQXReport& report);

// "Validate All" and "Clear Validation" of one tree view with its report. Keeps where the validation
// block is in the report (the tree view's block start and length).
class TQXValidator {
 public:
  // Both must outlive the validator; the tree must not change while ValidateAll runs.
  TQXValidator(TQXDTreeView& tree, TQXReport& report) : m_Tree(tree), m_Report(report) {}

  // Removes a previous block from the report, appends a new one at the report's end validating every
  // node, then closes everything it opened (errors of closing are swallowed). Returns the highest severity
  // of any node.
  TKVSeverity ValidateAll();
  // Resets every node's severity and range and removes the block from the report.
  void ClearValidation();
  // "Clear Validation" is offered only while there is a block.
  bool CanClearValidation() const { return m_BlockLength > 0; }

  size_t BlockStart() const { return m_BlockStart; }
  size_t BlockLength() const { return m_BlockLength; }
  // The block's text (empty when there is none).
  std::string BlockText() const;

  // What selecting a node shows: the range of its result line, when it has one of positive length that
  // lies within the report. False otherwise.
  bool ValidationResultRange(const TKVTreeItem& item, size_t& start, size_t& length) const;

 private:
  // The block as recorded, or nothing when the report no longer holds it (the report was cleared).
  bool BlockInReport() const;

  TQXDTreeView& m_Tree;
  TQXReport& m_Report;
  size_t m_BlockStart = 0;
  size_t m_BlockLength = 0;
};

// The headless "validate" command's work: Validate All over the tree into a fresh report. `block`
// receives the report (the validation block alone); the result is the highest severity of any node.
TKVSeverity QXValidateTree(TQXDTreeView& tree, TQXReport& block);

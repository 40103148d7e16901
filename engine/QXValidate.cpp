#include "engine/QXValidate.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "foundation/KVDateTime.h"
#include "foundation/KVScopeExit.h"
#include "foundation/KVTrace.h"

namespace {

int ClampInt(size_t value) { return value > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(value); }

// Opens the node for its check; recordsets only for their columns.
TQXValidationResult OpenForCheck(TQXDDataBase& node) {
  auto* recordsetNode = dynamic_cast<TQXDRecordsetData*>(&node);
  TKVOdbcRecordset* recordset = recordsetNode ? &recordsetNode->Recordset() : nullptr;
  const bool columnsOnly = recordset && !dynamic_cast<TQXDSourceProcData*>(&node);
  const TKVRecordsetOpenMode previousMode = recordset ? recordset->OpenMode() : TKVRecordsetOpenMode::ReadRows;
  if (columnsOnly) recordset->SetOpenMode(TKVRecordsetOpenMode::ColumnsOnly);
  const TKVOnExit restoreMode("restoring a recordset's open mode after its check", [&] {
    if (columnsOnly) recordset->SetOpenMode(previousMode);
  });
  TQXValidationResult result;
  try {
    node.Open();
  } catch (const std::exception& e) {
    result.Message = TKVExceptionInformation(e).GetMessageText();
    result.Severity = TKVSeverity::Error;
  } catch (...) {
    // Not dropped: the failed open is the check's result.
    result.Message = TKVExceptionInformation().GetMessageText();
    result.Severity = TKVSeverity::Error;
  }
  return result;
}

}  // namespace

uint32_t QXSeverityColor(int severity) {
  static constexpr uint32_t kColors[] = {0x000000, 0x008000, 0xFFF0E6, 0x0080FF, 0x0000FF};
  return kColors[std::clamp(severity, 0, 4)];
}

TQXValidationResult QXValidate(TQXDDataBase& node) {
  if (auto* func = dynamic_cast<TQXDFieldFuncData*>(&node)) {
    TQXValidationResult result = func->ValidateFunction();
    result.Severity = KVClampSeverity(static_cast<int>(result.Severity));
    return result;
  }
  return OpenForCheck(node);
}

bool QXValidateNode(TKVTreeItem& item, TQXReport& report) {
  TQXDDataBase* node = QXDData(&item);
  if (!node) return false;
  node->ClearValidation();
  const bool active = node->Active();

  const std::string header = QXDNodePath(item) + ":";
  const size_t headerStart = report.Length();
  report.Append(header + "\r\n", active ? kQXColorBlack : kQXInactiveColor);

  TQXValidationResult result;
  try {
    result = QXValidate(*node);
  } catch (const std::exception& e) {
    result = {TKVExceptionInformation(e).GetMessageText(), TKVSeverity::Error};
  } catch (...) {
    // Not dropped: the node's result line reports it.
    result = {TKVExceptionInformation().GetMessageText(), TKVSeverity::Error};
  }

  std::string message;
  uint32_t color;
  TKVSeverity severity = result.Severity;
  if (result.Message.empty()) {
    message = "Ok";
    severity = TKVSeverity::None;
    color = kQXColorGreen;
  } else {
    message = severity == TKVSeverity::None ? result.Message
                                             : std::string(KVSeverityCaption(severity)) + ": " + result.Message;
    color = QXSeverityColor(static_cast<int>(severity));
  }
  if (!active) color = kQXInactiveColor;

  const size_t resultStart = report.Length();
  report.Append(message + "\r\n\r\n", color);
  node->SetValidationSeverity(static_cast<uint8_t>(severity));
  node->SetValidationReportRange({ClampInt(headerStart), ClampInt(header.size() + 2), ClampInt(resultStart),
                                  ClampInt(message.size())});
  return true;
}

// --- TQXValidator ----------------------------------------------------------------------------------------

bool TQXValidator::BlockInReport() const {
  return m_BlockLength > 0 && m_BlockStart + m_BlockLength <= m_Report.Length();
}

std::string TQXValidator::BlockText() const {
  return BlockInReport() ? m_Report.TextAt(m_BlockStart, m_BlockLength) : std::string();
}

TKVSeverity TQXValidator::ValidateAll() {
  if (BlockInReport()) m_Report.Delete(m_BlockStart, m_BlockLength);
  m_BlockLength = 0;
  // The new block goes to the end of the report, which is where the old one was unless a run wrote
  // after it.
  m_BlockStart = m_Report.Length();

  m_Report.Append("\r\n\r\n", kQXColorNavy);
  const std::string heading = QXFormatReportDateTime(KVNow()) + ": " + "Validation Started";
  m_Report.Append(heading + "\r\n" + std::string(heading.size(), '=') + "\r\n", kQXColorNavy, true);

  // Every node tried is remembered, so that closing reaches inactive nodes as well.
  std::vector<TQXDDataBase*> tried;
  const TKVOnExit closeTried("closing the nodes after validation", [&tried] {
    for (auto it = tried.rbegin(); it != tried.rend(); ++it)
      KVTraceFailures("closing a node after validation", [it] { (*it)->Close(); });
  });
  // However the validation ends, the block is what it wrote.
  const TKVOnExit endBlock("ending the validation block", [this] { m_BlockLength = m_Report.Length() - m_BlockStart; });
  TKVSeverity worst = TKVSeverity::None;
  m_Tree.ForEach([&](TKVTreeItem& item) {
    if (TQXDDataBase* node = QXDData(&item)) {
      tried.push_back(node);
      QXValidateNode(item, m_Report);
      worst = std::max(worst, static_cast<TKVSeverity>(node->ValidationSeverity()));
    }
    return true;
  });
  return worst;
}

void TQXValidator::ClearValidation() {
  m_Tree.ForEach([](TKVTreeItem& item) {
    if (TQXDDataBase* node = QXDData(&item)) node->ClearValidation();
    return true;
  });
  if (BlockInReport()) m_Report.Delete(m_BlockStart, m_BlockLength);
  m_BlockStart = 0;
  m_BlockLength = 0;
}

bool TQXValidator::ValidationResultRange(const TKVTreeItem& item, size_t& start, size_t& length) const {
  const TQXDDataBase* node = QXDData(&item);
  if (!node) return false;
  const std::array<int, 4>& range = node->ValidationReportRange();
  if (range[2] < 0 || range[3] <= 0) return false;
  if (static_cast<size_t>(range[2]) + static_cast<size_t>(range[3]) > m_Report.Length()) return false;
  start = static_cast<size_t>(range[2]);
  length = static_cast<size_t>(range[3]);
  return true;
}

TKVSeverity QXValidateTree(TQXDTreeView& tree, TQXReport& block) {
  block.Clear();
  TQXValidator validator(tree, block);
  return validator.ValidateAll();
}
